"""./lab setup on a fresh machine whose apt gives the suite's packages
plainly, only with a multi-arch pair pinned, or not at all (then the guest's
own root), and on one that runs no x86 code. apt reads a repository written
here, through a configuration of its own, with a dpkg status of its own:
nothing on this host changes. lab runs as a user who is not root, so that it
ends on the line it would have root run, before anything is built."""

import hashlib
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import ROOT, clean_env

CODENAME = re.search(r"^VERSION_CODENAME=(\S+)", Path("/etc/os-release").read_text(), re.M)[1]


def setup_env(**settings):
    """The environment of a ./lab setup that decides for itself: none of the
    guest's settings of the test run that calls it, but those given."""
    env = clean_env(**settings)
    for name in {"LAB_IN_GUEST", "LAB_GUEST", "LAB_GUEST_ROOT"} - set(settings):
        env.pop(name, None)
    return env


def lab_packages():
    """Every package that lab may install on a host: its three lists."""
    text = (ROOT / "lab").read_text()
    found = set()
    for array in ("packages", "guest_packages", "own_root_packages"):
        body = re.search(rf"^{array}=\((.*?)\)", text, re.M | re.S)[1]
        found.update(w for line in body.splitlines() for w in line.split("#")[0].split())
    return found


def stanza(name, version, arch, **fields):
    return "".join(f"{k.replace('_', '-')}: {v}\n" for k, v in {
        "Package": name, "Version": version, "Architecture": arch, **fields}.items()) + "\n"


def repository(top, suites, origin="Debian", component="main"):
    """suites: {suite: {arch: Packages text}}, each of the archive `origin`
    with one component; where the text is None, the list is caught mid-sync:
    its Release entry gives another file's sum."""
    for suite, archs in suites.items():
        entries = []
        for arch, text in archs.items():
            listed = f"{component}/binary-{arch}/Packages"
            (top / suite / listed).parent.mkdir(parents=True)
            (top / suite / listed).write_text(text or "")
            data = (text if text is not None else "another file\n").encode()
            entries.append(f" {hashlib.sha256(data).hexdigest()} {len(data)} {listed}")
        (top / suite / "Release").write_text(
            f"Origin: {origin}\nSuite: {suite}\nCodename: {suite}\nArchitectures: amd64 i386\n"
            f"Components: {component}\n"
            "SHA256:\n" + "\n".join(entries) + "\n")


FAILED_LIST = (r"lab: apt-get update could not fetch file:.*-security/[a-z]+/binary-i386/Packages "
               r"\(.*\); going on with the lists apt has")
OWN_ROOT = [r"lab: missing: qemu-system-x86 .*",
            r"run: sudo sh -c 'apt-get update; apt-get install -y --no-install-recommends "
            r"--no-remove qemu-system-x86 .*'"]

# The machine; the pair's amd64 copy as installed (version, priority); what
# the lists of the release offer of it, and the amd64 list of its security
# suite (whose i386 list fails); lab's settings; what lab says, a line each.
# A version that a list offers is never lowered: not even where apt drops
# the list for the failure of its suite's i386 list (security-fix).
CASES = {
    "healthy": ("x86_64", ("1.0", "optional"), "1.0", None, {}, [
        r"lab: missing: the i386 architecture cmake .*",
        r"run: sudo sh -c 'dpkg --add-architecture i386 && apt-get update; apt-get install -y "
        r"--no-install-recommends --no-remove cmake .*'"]),
    "pinned": ("x86_64", ("1.5", "optional"), "1.0", "2.0", {}, [
        r"lab: missing: the i386 architecture cmake .*", FAILED_LIST,
        r"lab: zpair 1\.5 -> 1\.0, for amd64 and i386 alike",
        r"run: sudo sh -c 'dpkg .* --no-remove -o Dir::Etc::Preferences=.*/build/apt-preferences "
        rf"-t {CODENAME} --allow-downgrades cmake .*'"]),
    "required": ("x86_64", ("1.5", "required"), "1.0", "1.5", {}, [
        r"lab: missing: the i386 architecture cmake .*", FAILED_LIST,
        r"lab: this host's apt cannot give the suite's i386 packages \(its i386 lists lack zpair "
        r"at the versions installed for amd64\): lab uses a qemu guest with a root of its own, .*",
        *OWN_ROOT]),
    "security-fix": ("x86_64", ("1.5", "optional"), "1.0", "1.5", {}, [
        r"lab: missing: the i386 architecture cmake .*", FAILED_LIST,
        r"lab: this host's apt cannot give the suite's i386 packages \(its i386 lists lack zpair "
        r"at the versions installed for amd64\): .*", *OWN_ROOT]),
    "required-host-root": ("x86_64", ("1.5", "required"), "1.0", "1.5", {"LAB_GUEST_ROOT": "host"}, [
        r"lab: missing: the i386 architecture cmake .*", FAILED_LIST,
        r"lab: this host's apt cannot give .*, and LAB_GUEST_ROOT=host keeps lab from the "
        r"guest's own root"]),
    "arm64": ("aarch64", ("1.0", "optional"), "1.0", None, {}, OWN_ROOT),
    # Ubuntu: the suite's packages are in universe; where apt reads no list
    # of it, the way is to enable it, not the guest
    "ubuntu-universe": ("x86_64", ("1.5", "optional"), "1.0", "2.0", {}, [
        r"lab: missing: the i386 architecture cmake .*", FAILED_LIST,
        r"lab: zpair 1\.5 -> 1\.0, for amd64 and i386 alike", r"run: sudo sh -c 'dpkg .*"],
        ("Ubuntu", "universe")),
    "ubuntu-without-universe": ("x86_64", ("1.5", "required"), "1.0", "1.5", {}, [
        r"lab: missing: the i386 architecture cmake .*", FAILED_LIST,
        r"lab: this host's apt cannot give the suite's i386 packages \(.*\): this Ubuntu host's "
        r"apt reads no list of its universe component, where the suite's packages are: enable "
        r"it \(sudo add-apt-repository universe\), then run ./lab setup again"], ("Ubuntu", "main")),
}


@pytest.mark.parametrize("case", CASES)
def test_setup_decides_from_what_apt_can_give(tmp_path, case):
    machine, (installed, priority), main, security, settings, says, *archive = CASES[case]

    def offered(arch, version):  # the pair, and lab's packages, which need it
        deb = {"Size": 1, "Filename": "pool/a.deb"}
        return None if version is None else "".join(
            [stanza("zpair", version, arch, Multi_Arch="same", Priority=priority, **deb)]
            + [stanza(n.removesuffix(":i386"), "1.0", arch, Depends="zpair", **deb)
               for n in lab_packages() if arch == "amd64" or n.endswith(":i386")])

    suites = {CODENAME: {"amd64": offered("amd64", main), "i386": offered("i386", main)}}
    if security:
        suites[f"{CODENAME}-security"] = {"amd64": offered("amd64", security), "i386": None}
    repository(tmp_path / "dists", suites, *(archive or [("Debian", "main")])[0])
    state = tmp_path / "state"
    for folder in ("lists/partial", "dpkg", "parts"):
        (state / folder).mkdir(parents=True)
    (state / "dpkg" / "status").write_text(stanza(
        "zpair", installed, "amd64", Status="install ok installed", Multi_Arch="same",
        Priority=priority))
    (state / "dpkg" / "arch").write_text("amd64\n")
    (tmp_path / "sources.list").write_text("".join(
        f"deb [trusted=yes] file:{tmp_path} {suite} {(archive or [('', 'main')])[0][1]}\n"
        for suite in suites))
    (tmp_path / "apt.conf").write_text(
        f'Dir::Etc::SourceList "{tmp_path}/sources.list"; Dir::Etc::SourceParts "{state}/parts";'
        f' Dir::Etc::Preferences "{state}/preferences"; Dir::Etc::PreferencesParts "{state}/parts";'
        f' Dir::State "{state}"; Dir::State::status "{state}/dpkg/status"; Dir::Cache "{state}";'
        f' Dir::Log "{state}"; APT::Sandbox::User "root";\n')
    shutil.copy(ROOT / "lab", tmp_path)
    shutil.copytree(ROOT / "setup", tmp_path / "setup")
    for sourced in ("course", "tests"):  # what lab sources besides
        (tmp_path / sourced).mkdir()
        shutil.copy(ROOT / sourced / "commands.bash", tmp_path / sourced)
    for name, says_ in [("uname", machine), ("id", "1000")]:  # id: a user who is not root
        (tmp_path / name).write_text(f"#!/bin/sh\necho {says_}\n")
        (tmp_path / name).chmod(0o755)
    env = setup_env(PATH=f"{tmp_path}:/usr/bin:/bin", APT_CONFIG=tmp_path / "apt.conf",
                    DPKG_ADMINDIR=state / "dpkg", **settings)
    result = subprocess.run([tmp_path / "lab", "setup"], capture_output=True, text=True, env=env,
                            timeout=60)
    lines = (result.stdout + result.stderr).splitlines()
    assert result.returncode == 1
    assert len(lines) == len(says) and all(map(re.fullmatch, says, lines)), "\n".join(lines)
    assert {p.name for p in (tmp_path / "build").glob("*")} <= {"apt-preferences"}


# A host without Debian's package tools, with the package manager that it
# has: what ./lab setup says that it lacks, and the line that installs it.
NO_DEBIAN = [
    (None, r"lab: missing: qemu-system-x86_64 socat xauth"),
    ("dnf", r"lab: missing: .*; install them with: sudo dnf install qemu-system-x86-core socat xorg-x11-xauth"),
    ("pacman", r"lab: missing: .*; install them with: sudo pacman -S --needed qemu-system-x86 socat xorg-xauth"),
    ("zypper", r"lab: missing: .*; install them with: sudo zypper install qemu-x86 socat xauth"),
    ("brew", r"lab: missing: .*; on macOS the suite runs inside a Debian VM \(docs/platforms.md\)"),
]


@pytest.mark.parametrize("manager, says", NO_DEBIAN, ids=[str(c[0]) for c in NO_DEBIAN])
def test_setup_without_debian_tools_names_what_is_missing(tmp_path, manager, says):
    hidden = {"apt-get", "dpkg-query", "qemu-system-x86_64", "socat", "xauth"}
    bin_ = tmp_path / "bin"
    bin_.mkdir()
    for folder in ("/usr/bin", "/bin", "/usr/sbin", "/sbin"):
        for program in Path(folder).iterdir():
            if program.name not in hidden and not (bin_ / program.name).exists():
                (bin_ / program.name).symlink_to(program)
    if manager:
        (bin_ / manager).write_text("#!/bin/sh\nexit 1\n")
        (bin_ / manager).chmod(0o755)
    result = subprocess.run([ROOT / "lab", "setup"], capture_output=True, text=True, timeout=60,
                            env=setup_env(PATH=bin_, LAB_GUEST_CACHE=tmp_path / "cache"))
    lines = result.stdout.splitlines() + result.stderr.splitlines()
    assert result.returncode == 1, lines
    assert lines[0] == "lab: this host has no Debian package tools (apt-get, dpkg-query):" \
        " every command runs in a qemu guest with a root of its own (vm/guest)"
    assert len(lines) == 2 and re.fullmatch(says, lines[1]), lines
