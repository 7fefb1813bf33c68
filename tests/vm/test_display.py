"""The windows of samples in the guest, on the user's own display: an X
server of this host that lets in only the clients holding its cookie, as a
desktop's display does. The guest reaches that display and nothing else."""

import re
import socket
import subprocess

import pytest

from guest import GUEST, LAB, any_root, note, one_line, only_on_the_host
from guest import guest_root, nothing_left_behind  # noqa: F401 -- autouse: every root, no guest left
from harness import ROOT, XServer, as_sample, clean_env, gui_samples

pytestmark = only_on_the_host
BOOT = 120  # seconds for a guest to boot and a GTK window to appear under TCG


@pytest.fixture(params=[False], ids=["socket"])
def desktop(request):
    """The user's display: its socket, or (parametrised with True) its TCP
    port, as an ssh session's forwarded display is reached."""
    server = XServer(cookie=True, tcp=request.param)
    yield server
    server.stop()


@pytest.fixture
def guest_gui(desktop):
    """guest_gui(name): `./lab run NAME` through the guest, its window on the
    desktop display. At the end, stderr must hold lab's note and nothing else:
    no GTK message from the guest."""
    with gui_samples(desktop, [note("run", desktop.display)], launcher=[LAB, "run"],
                     timeout=BOOT, LAB_GUEST=1) as launch:
        yield launch


@any_root
def test_a_client_without_the_cookie_is_refused(desktop):
    refused = subprocess.run(["xdotool", "getmouselocation"], capture_output=True, text=True,
                             env=desktop.env(XAUTHORITY="/dev/null"))
    assert refused.returncode != 0 and "Authorization required" in refused.stderr
    admitted = subprocess.run(["xdotool", "getmouselocation"], capture_output=True,
                              env=desktop.env())
    assert admitted.returncode == 0


@pytest.mark.parametrize("desktop", [False, pytest.param(True, marks=any_root)],
                         ids=["socket", "tcp"], indirect=True)
def test_rowswap_reports_a_click_and_its_close_button_ends_the_command_with_0(guest_gui):
    s = guest_gui("rowswap")
    view = s.dump()
    s.click(60, view.y_of("ListItemContainer with Label #2"))
    s.out.until(b"The selection is a ListItemContainer with Label #2 \n", timeout=30)
    s.click(*view.button)
    assert s.proc.wait(timeout=60) == 0


def test_wavebutton_hears_the_window_managers_close_and_a_click(guest_gui):
    s = guest_gui("wavebutton")
    s.close_request()
    s.out.until(b"delete event occurred\n", timeout=30)
    assert s.alive()  # wavebutton ignores the request, as it does natively
    s.click(*s.dump().button)
    s.out.until(b"Hello World\n", timeout=30)
    assert s.proc.wait(timeout=60) == 0
    assert s.out.rest() == b"delete event occurred\nHello World\n"


def test_the_guest_reaches_the_display_and_nothing_else(desktop):
    """From inside, with a service listening on this host's loopback: only
    the display's address and port answer. Nothing of the guest listens here."""
    service = socket.create_server(("127.0.0.1", 0))
    port = service.getsockname()[1]
    number = int(desktop.display.split(":")[1])
    tries = [f"10.0.2.100/{6000 + number}", f"10.0.2.2/{port}", f"10.0.2.100/{port}",
             f"10.0.2.2/{6000 + number}", "10.0.2.3/53", "1.1.1.1/80"]
    script = ('echo "$DISPLAY"; for a in "$@"; do '
              'timeout 5 bash -c "exec 3<>/dev/tcp/$a" 2>/dev/null && echo "$a" || echo -; done')
    with service:
        guest = subprocess.run([GUEST, "--display", "bash", "-c", script, "-", *tries],
                               capture_output=True, text=True, stdin=subprocess.DEVNULL,
                               env=desktop.env(), timeout=BOOT, preexec_fn=as_sample)
    assert guest.returncode == 0, guest.stderr
    assert guest.stdout.splitlines() == [f"10.0.2.100:{number}", tries[0], "-", "-", "-", "-", "-"]


# the command, its DISPLAY, what it says: one line, and no guest started
NO_DISPLAY = [
    ("lab-run-unset", [LAB, "run", "rowswap"], None,
     r"lab: DISPLAY is not set: rowswap has no display to open its window on "
     r"\(\./lab shot rowswap takes a picture of it without one\)"),
    ("lab-gdb-unset", [LAB, "gdb", "plainwin"], None,
     r"lab: DISPLAY is not set: plainwin has no display to open its window on .*"),
    ("no-server", [GUEST, "--display", "true"], ":4242",
     r"lab: DISPLAY=:4242: no X server answers there"),
    ("not-a-display-name", [GUEST, "--display", "true"], ":0;touch /tmp/x",
     r"lab: DISPLAY=:0;touch /tmp/x: the guest reaches a display named :N, unix:N or HOST:N only"),
]


@any_root
@pytest.mark.parametrize("command,display,says", [c[1:] for c in NO_DISPLAY],
                         ids=[c[0] for c in NO_DISPLAY])
def test_no_display_to_reach_is_said_in_one_line(command, display, says):
    env = clean_env(LAB_GUEST=1, **({"DISPLAY": display} if display else {}))
    result = subprocess.run(command, capture_output=True, stdin=subprocess.DEVNULL,
                            env=env, timeout=30, preexec_fn=as_sample, cwd=ROOT)
    assert (result.returncode, result.stdout) == (1, b"")
    assert re.fullmatch(says, one_line(result.stderr))
