"""plainwin and wavebutton under a real X server, with real pointer input and
the close request that a window manager sends."""

import subprocess

from conftest import with_window_manager
from harness import expected, wait_for

QUIET = 0.3  # seconds of silence that prove nothing was printed


def tree(name):
    return expected(__file__, name + ".tree.exp").decode().splitlines()


def wm_close(x, sample):
    """Close through the window manager, once it has taken the window on."""
    env = x.env()

    def managed():
        listed = subprocess.run(["wmctrl", "-l"], capture_output=True, text=True, env=env).stdout
        return any(int(line.split()[0], 16) == sample.window for line in listed.splitlines())

    wait_for(managed, what="openbox to manage the window")
    subprocess.run(["wmctrl", "-i", "-c", str(sample.window)], check=True, env=env)


def window_gone(x, sample):
    return lambda: not x.xdotool("search", "--onlyvisible", "--pid", sample.proc.pid).split()


def test_plainwin_shows_an_empty_untitled_window_and_says_nothing(gui):
    s = gui("plainwin")
    assert s.dump().tree == tree("plainwin")
    assert s.out.quiet(QUIET) == b""


def test_plainwin_runs_on_after_its_window_is_closed(gui, x):
    s = gui("plainwin")
    s.close_request()
    wait_for(window_gone(x, s), what="the window to go")
    assert s.out.quiet(QUIET) == b""
    assert s.alive()


@with_window_manager
def test_plainwin_under_a_window_manager(gui, x):
    s = gui("plainwin")
    wm_close(x, s)
    wait_for(window_gone(x, s), what="the window to go")
    assert s.out.quiet(QUIET) == b""
    assert s.alive()


def test_wavebutton_tree(gui):
    s = gui("wavebutton")
    assert s.dump().tree == tree("wavebutton")
    assert s.out.quiet(QUIET) == b""


def test_wavebutton_click_greets_once_and_ends(gui):
    s = gui("wavebutton")
    s.click(*s.dump().button)
    assert s.proc.wait(timeout=10) == 0
    assert s.out.rest() == b"Hello World\n"


def test_wavebutton_keeps_its_window_through_close_requests(gui):
    s = gui("wavebutton")
    for n in range(1, 4):
        s.close_request()
        s.out.until(b"delete event occurred\n" * n)
    assert s.out.quiet(QUIET) == b""
    assert s.alive()
    assert s.dump().tree == tree("wavebutton")
    s.click(*s.dump().button)
    assert s.proc.wait(timeout=10) == 0
    assert s.out.rest() == b"delete event occurred\n" * 3 + b"Hello World\n"


@with_window_manager
def test_wavebutton_under_a_window_manager(gui, x):
    s = gui("wavebutton")
    for n in range(1, 4):
        wm_close(x, s)
        s.out.until(b"delete event occurred\n" * n)
    assert s.alive()
    s.click(*s.dump().button)
    assert s.proc.wait(timeout=10) == 0
    assert s.out.rest() == b"delete event occurred\n" * 3 + b"Hello World\n"
