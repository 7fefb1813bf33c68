"""./lab xshell: the windows without a display. window clicks rows (scrolled
into view) and buttons by their labels, closes windows and reads titles, as
a learner does in the windows' worksheet."""

import shutil
import subprocess

import pytest

from harness import ROOT, clean_env

ROWSWAP = """
"$lab" run rowswap >"$out/rowswap" 2>&1 & app=$!
window title rowswap
window click "List Item with Label 7"
window click "List Item with Label 5"
window right-click "List Item with Label 5"
window items rowswap >"$out/items"
window close rowswap
window list | tail -n +2 >"$out/list"
kill $app; wait $app
"$lab" run wavebutton >"$out/wavebutton" 2>&1 & app=$!
window close wavebutton
window click "Hello World"
wait $app; echo "wavebutton $?"
exit 3
"""


@pytest.mark.skipif(shutil.which("Xvfb") is None or shutil.which("wmctrl") is None,
                    reason="Xvfb or wmctrl is not installed")
def test_window_drives_the_samples_without_a_display(tmp_path):
    env = clean_env(out=str(tmp_path), lab=str(ROOT / "lab"))
    env.pop("DISPLAY", None)
    result = subprocess.run([ROOT / "lab", "xshell", "bash", "-c", ROWSWAP],
                            capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 3, result.stderr
    assert result.stdout.splitlines() == ["GtkList Example", "wavebutton 0"]
    read = {name: (tmp_path / name).read_text() for name in ("rowswap", "items", "list", "wavebutton")}
    assert read["rowswap"].startswith("The selection is a ListItem with integrated Label \n"
                                      "Selection cleared\n"
                                      "The selection is a ListItem with integrated Label \n")
    assert "List Item with Label 7" in read["items"]
    assert "List Item with Label 5" not in read["items"]  # in the Prison frame now
    assert read["list"] == ""
    assert read["wavebutton"] == "delete event occurred\nHello World\n"
