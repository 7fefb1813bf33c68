"""rowswap under a real X server: the selection report, the move into the
"Prison" frame and back, and the ways the program ends."""

import os
import random

import pytest

from conftest import with_window_manager
from harness import expected
from test_windows import QUIET, wm_close

CONTAINER = "ListItemContainer with Label #{}"
INTEGRATED = "List Item with Label {}"
SHARED = "ListItem with integrated Label"
INITIAL = [CONTAINER.format(n) for n in range(5)] + [INTEGRATED.format(n) for n in (9, 8, 7, 6, 5)]
DESCRIPTION = {label: (label if label.startswith("ListItemContainer") else SHARED)
               for label in INITIAL}
LEFT, MIDDLE, RIGHT = 1, 2, 3
X = 100  # inside the list, left of any scroll bar


def selected(description):
    return f"The selection is a {description} \n".encode()


CLEARED = b"Selection cleared\n"


@pytest.fixture
def rowswap(gui):
    return gui("rowswap")


def click(s, label, button=LEFT):
    """Click on the item with that label, scrolling the list to it first."""
    for _ in range(10):
        d = s.dump()
        (y,) = [y for l, _, y, _ in d.items if l == label]
        if d.view[0] < y < d.view[1]:
            return s.click(X, y, button)
        s.click(X, (d.view[0] + d.view[1]) // 2, 5 if y >= d.view[1] else 4)  # the wheel
    raise AssertionError(f"could not scroll to {label}")


def test_initial_window(rowswap):
    d = rowswap.dump()
    assert d.tree == expected(__file__, "rowswap.tree.exp").decode().splitlines()
    assert d.labels() == INITIAL
    assert d.prisoner is None
    assert rowswap.out.quiet(QUIET) == b""


@pytest.mark.parametrize("label,description", [
    (CONTAINER.format(3), CONTAINER.format(3)),
    (CONTAINER.format(0), CONTAINER.format(0)),
    (INTEGRATED.format(9), SHARED),
])
def test_selecting_reports_the_description(rowswap, label, description):
    click(rowswap, label)
    assert rowswap.out.until(b"\n") == selected(description)
    click(rowswap, label)  # a second click unselects it
    assert rowswap.out.until(CLEARED) == selected(description) + CLEARED


@pytest.mark.parametrize("button", [MIDDLE, RIGHT])
def test_a_release_with_nothing_selected_and_an_empty_frame_does_nothing(rowswap, button):
    before = rowswap.dump()
    click(rowswap, CONTAINER.format(2), button)
    after = rowswap.dump()
    assert (after.items, after.prisoner) == (before.items, before.prisoner)
    assert rowswap.out.quiet(QUIET) == b""


def test_middle_button_does_not_move_the_selection(rowswap):
    click(rowswap, CONTAINER.format(1))
    rowswap.out.until(b"\n")
    click(rowswap, CONTAINER.format(4), MIDDLE)
    d = rowswap.dump()
    assert d.prisoner is None
    assert [l for l, _, _, sel in d.items if sel] == [CONTAINER.format(1)]


def test_move_into_the_frame_and_back(rowswap):
    s = rowswap
    two, nine = CONTAINER.format(2), INTEGRATED.format(9)

    click(s, two)
    s.out.until(selected(two))
    click(s, two, RIGHT)  # unselected, then moved into the frame
    assert s.out.until(CLEARED) == selected(two) + CLEARED
    d = s.dump()
    assert d.prisoner == (two, two)
    assert two not in d.labels() and len(d.items) == 9

    # A new prisoner sends the old one back into the list.
    click(s, nine)
    s.out.until(selected(SHARED))
    click(s, nine, RIGHT)
    s.out.until(selected(SHARED) + CLEARED)
    d = s.dump()
    assert d.prisoner == (nine, SHARED)
    assert two in d.labels() and nine not in d.labels()

    # Nothing selected: the prisoner only goes back, and the frame is empty.
    click(s, CONTAINER.format(0), RIGHT)
    d = s.dump()
    assert d.prisoner is None
    assert sorted(d.labels()) == sorted(INITIAL)
    assert s.out.quiet(QUIET) == b""

    # The returned item still reports its own description.
    mark = len(s.out.data)
    click(s, two)
    assert s.out.until(b"\n", since=mark) == selected(two)


def test_close_button_ends_with_0(rowswap):
    rowswap.click(*rowswap.dump().button)
    assert rowswap.proc.wait(timeout=10) == 0
    assert rowswap.out.rest() == b""


def test_close_request_ends_with_0(rowswap):
    rowswap.close_request()
    assert rowswap.proc.wait(timeout=10) == 0


@with_window_manager
def test_closing_from_a_window_manager_ends_with_0(gui, x):
    s = gui("rowswap")
    click(s, CONTAINER.format(1))
    s.out.until(selected(CONTAINER.format(1)))
    wm_close(x, s)
    assert s.proc.wait(timeout=10) == 0


def test_nothing_is_ever_lost(rowswap):
    """Random left clicks and right-button releases over the visible rows:
    every item stays, exactly once, with its description."""
    seed = int(os.environ.get("LAB_SEED", "20261208"))
    rng = random.Random(seed)
    d = rowswap.dump()
    top, bottom = d.view[0] + 4, d.view[1] - 4
    moves = [(X, rng.randint(top, bottom), rng.choice([LEFT, LEFT, RIGHT]))
             for _ in range(300)]
    rowswap.clicks(moves)
    d = rowswap.dump()
    where = f"seed {seed} (LAB_SEED), first moves (x, y, button): {moves[:10]}"
    everything = d.items + ([(*d.prisoner, None, False)] if d.prisoner else [])
    assert sorted(label for label, *_ in everything) == sorted(INITIAL), where
    assert all(desc == DESCRIPTION[label] for label, desc, *_ in everything), where
    frame_at = next(n for n, line in enumerate(d.tree) if line.strip().startswith("GtkFrame"))
    in_frame = [line for line in d.tree[frame_at:] if line.strip().startswith("GtkListItem")]
    assert len(in_frame) <= 1, where
    assert rowswap.alive(), where
