"""basenamer: the base name of whatever path it was started under."""

import pytest

from harness import BIN, clean_env, expected, run, sample

# (argv[0], extra arguments, search path?, expected output)
CASES = [
    ("./basenamer", [], False, "name-basenamer"),
    (str(BIN / "basenamer"), [], False, "name-basenamer"),
    ("basenamer", [], True, "name-errname"),
    ("some/folder/", [], False, "name-empty"),
    ("/", [], False, "name-empty"),
    ("./basenamer", ["--name", "/other/path"], False, "name-basenamer"),
    ("basenamer", ["x/y"], True, "name-errname"),
]


@pytest.mark.parametrize("argv0,args,search,exp", CASES,
                         ids=[f"{a} {' '.join(x)}".strip() + (" (PATH)" if s else "")
                              for a, x, s, _ in CASES])
def test_name(argv0, args, search, exp):
    if search:  # the shell finds it on the search path and hands over the bare name
        command = " ".join(["exec", argv0, *args])
        result = run(["/bin/sh", "-c", command], env=clean_env(PATH=BIN), cwd="/")
    else:
        result = run([argv0, *args], executable=sample("basenamer"), cwd=BIN)
    assert result.stdout == expected(__file__, exp + ".stdout.exp")
    assert result.returncode == 0
