import shutil

import pytest

from harness import XServer, gui_samples

NEEDED = ("Xvfb", "xdotool")


@pytest.fixture(params=[False], ids=["bare"])
def x(request):
    """A private X server; parametrise with True for one under openbox."""
    missing = [t for t in NEEDED + (("openbox", "wmctrl") if request.param else ())
               if shutil.which(t) is None]
    if missing:
        pytest.skip("not installed: " + " ".join(missing))
    server = XServer(window_manager=request.param)
    yield server
    server.stop()


@pytest.fixture
def gui(x):
    """gui(name) starts a GUI sample on the test's X server. At the end, GTK
    must not have complained on standard error."""
    with gui_samples(x) as launch:
        yield launch


def with_window_manager(test):
    """Run a test under openbox instead of a bare X server."""
    return pytest.mark.parametrize("x", [True], ids=["openbox"], indirect=True)(test)
