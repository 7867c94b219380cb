"""The machine set-up of the two commands (tools/bootstrap.sh, tools/test-all.sh
and the Makefile's `test`), run against a scratch copy of the repository and a
fake apt: dpkg-query, apt-cache and apt-get are stand-ins on PATH that answer
from files and log every call, so the order of refreshes, source changes and
installs can be checked as a brand-new machine would see it."""
import os
import pathlib
import re
import shutil
import subprocess
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = "etc/apt/sources.list.d/vorlane-bullseye.sources"

FAKE_APT = {
    # Installed packages are the lines of $FAKE/installed.
    "dpkg-query": """
        pkg=${@: -1}
        grep -qx "$pkg" "$FAKE/installed" || exit 1
        echo 'install ok installed'
    """,
    # The release offers the packages listed in $FAKE/offered.
    "apt-cache": """
        [ "$1" = policy ] || exit 2
        if grep -qx "$2" "$FAKE/offered"; then v=1.0; else v='(none)'; fi
        printf '%s:\\n  Installed: (none)\\n  Candidate: %s\\n' "$2" "$v"
    """,
    # Logs each call with whether the bullseye source existed at that moment.
    "apt-get": """
        seen=no; [ -f "$VORLANE_APT_ROOT/etc/apt/sources.list.d/vorlane-bullseye.sources" ] && seen=yes
        echo "$* | source=$seen" >> "$FAKE/apt.log"
        if [ "$1" = install ]; then
            for a in "$@"; do
                case $a in -*|install) ;; *)
                    grep -qx "$a" "$FAKE/offered" || { echo "E: Unable to locate package $a" >&2; exit 100; }
                    echo "$a" >> "$FAKE/installed";;
                esac
            done
        fi
    """,
    "sudo": 'exec "$@"',
}


class Machine:
    def __init__(self, tmp):
        self.fake = tmp / "fake"
        self.repo = tmp / "repo"
        self.apt_root = tmp / "aptroot"
        bin_ = self.fake / "bin"
        for d in (bin_, self.repo / "tools", self.apt_root / SOURCE.rsplit("/", 1)[0],
                  self.apt_root / "etc/apt/preferences.d", self.apt_root / "var/lib/apt/lists"):
            d.mkdir(parents=True)
        (self.apt_root / "var/lib/apt/lists/deb.debian.org_debian_dists_x_main_binary-amd64_Packages").touch()
        for name, body in FAKE_APT.items():
            (bin_ / name).write_text("#!/bin/bash\n" + textwrap.dedent(body))
            (bin_ / name).chmod(0o755)
        for f in ("bootstrap.sh", "common.sh", "test-all.sh"):
            shutil.copy(ROOT / "tools" / f, self.repo / "tools" / f)
        (self.repo / "requirements.txt").write_text("pip==24.0\n")
        self.installed = self.fake / "installed"
        self.offered = self.fake / "offered"
        self.installed.write_text("")
        self.offered.write_text("")
        # No interpreter but the system's: no pyenv in this HOME.
        self.env = {"PATH": f"{bin_}:/usr/bin:/bin", "HOME": str(tmp), "FAKE": str(self.fake),
                    "VORLANE_APT_ROOT": str(self.apt_root), "LANG": "C.UTF-8"}

    def offer(self, *pkgs):
        self.offered.write_text(self.offered.read_text() + "".join(p + "\n" for p in pkgs))

    def install(self, *pkgs):
        self.installed.write_text(self.installed.read_text() + "".join(p + "\n" for p in pkgs))

    def apt_log(self):
        log = self.fake / "apt.log"
        return log.read_text().splitlines() if log.exists() else []

    def run(self, *cmd, env=()):
        return subprocess.run(cmd, cwd=self.repo, env={**self.env, **dict(env)},
                              capture_output=True, text=True, timeout=120)


@pytest.fixture
def machine(tmp_path):
    return Machine(tmp_path)


def test_reference_interpreter_comes_from_bullseye_read_after_the_source_is_added(machine):
    # A .venv that already answers: the apt steps are what is under test.
    venv = machine.repo / ".venv"
    (venv / "bin").mkdir(parents=True)
    (venv / "bin" / "python").write_text("#!/bin/sh\nexit 0\n")
    (venv / "bin" / "python").chmod(0o755)
    (venv / ".requirements.stamp").write_text("pip==24.0\n")
    machine.offer("libgtest-dev", "valgrind", "python3.9", "python3.9-dev")

    proc = machine.run("tools/bootstrap.sh", "3.9")
    assert proc.returncode == 0, proc.stderr
    log = machine.apt_log()
    install39 = next(i for i, line in enumerate(log) if line.startswith("install") and " python3.9 " in line)
    refreshes = [line for line in log[:install39] if line.startswith("update")]
    assert refreshes[-1].endswith("source=yes"), log
    assert all("--no-install-recommends" in line for line in log if line.startswith("install"))
    pin = (machine.apt_root / "etc/apt/preferences.d/vorlane-bullseye").read_text()
    assert re.search(r"^Pin: release n=bullseye\nPin-Priority: 100$", pin, re.M)

    # Everything is there now: a second run only checks.
    (machine.fake / "apt.log").unlink()
    assert machine.run("tools/bootstrap.sh", "3.9").returncode == 0
    assert machine.apt_log() == []


@pytest.mark.parametrize("installed, offered, installs", [
    # The release has it: whatever of the three is missing is installed.
    ((), ("python3.77", "python3.77-dev", "python3.77-venv"), "python3.77 python3.77-dev python3.77-venv"),
    (("python3.77",), ("python3.77", "python3.77-dev", "python3.77-venv"), "python3.77-dev python3.77-venv"),
    # It has not (or not all of it): nothing is asked of apt.
    ((), (), None),
    ((), ("python3.77", "python3.77-dev"), None),
])
def test_modern_interpreter_from_the_release_only_where_it_has_it(machine, installed, offered, installs):
    (machine.repo / "requirements-3.77.txt").write_text("pip==24.0\n")
    machine.install("libgtest-dev", "valgrind", *installed)
    machine.offer(*offered)

    proc = machine.run("tools/bootstrap.sh", "3.77")
    # No CPython 3.77 exists anywhere, whatever apt did.
    assert proc.returncode == 3, proc.stderr
    assert re.fullmatch(r"bootstrap: no CPython 3\.77 on this machine \(not in its Debian release, "
                        r"not on PATH, not in pyenv\)\n", proc.stderr)
    installs_seen = [line.split(" | ")[0] for line in machine.apt_log() if line.startswith("install")]
    if installs is None:
        assert installs_seen == []
    else:
        assert installs_seen == ["install -y -q --no-install-recommends " + installs]
        assert machine.apt_log()[0].startswith("update")


def test_unsupported_version_is_refused_before_anything_is_installed(machine):
    for v in ("3.13", "3.11", "3.12"):
        (machine.repo / f"requirements-{v}.txt").write_text("pip==24.0\n")
    proc = machine.run("tools/bootstrap.sh", "3.10")
    assert proc.returncode == 2
    assert re.fullmatch(r"bootstrap: unsupported interpreter version '3\.10' "
                        r"\(3\.9, 3\.11, 3\.12 or 3\.13\)\n", proc.stderr)
    assert machine.apt_log() == []


# --- make test over several interpreters ----------------------------------------

def test_missing_interpreter_fails_make_test_only_when_asked_for(machine):
    # The real `test` rule and PYTHONS default, with stand-ins for the set-up
    # (exit status per version from SETUP_<major>_<minor>) and the suites.
    real = (ROOT / "Makefile").read_text()
    pythons = re.search(r"^PYTHONS\s*\?=.*$", real, re.M).group(0)
    rule = re.search(r"^test:\n(\t.*\n)+", real, re.M).group(0)
    (machine.repo / "Makefile").write_text(pythons + "\n" + rule + textwrap.dedent("""
        test-one:
        \t@echo "suite on $(PY_VERSION)"; [ "$(PY_VERSION)" != "$(FAIL_SUITE)" ]
        """))
    (machine.repo / "tools" / "bootstrap.sh").write_text(textwrap.dedent("""\
        #!/bin/bash
        var=SETUP_${1/./_}; status=${!var:-0}
        venv=$([ "$1" = 3.9 ] && echo .venv || echo ".venv-$1")
        [ "$status" = 0 ] && mkdir -p "$venv" && echo "home = /opt/py$1/bin" > "$venv/pyvenv.cfg"
        exit "$status"
        """))
    (machine.repo / "tools" / "bootstrap.sh").chmod(0o755)
    versions = pythons.split("=", 1)[1].split()
    absent = versions[1]

    plain = machine.run("make", "test", env={"SETUP_" + absent.replace(".", "_"): "3"})
    assert plain.returncode == 0, plain.stdout + plain.stderr
    summary = plain.stdout.split("=== summary ===\n")[1].splitlines()
    assert summary[1] == f"CPython {absent}: MISSING on this machine, not tested"
    assert re.fullmatch(r"CPython 3\.9 \(/opt/py3\.9/bin/python3\.9\): passed \(\d+ s\)", summary[0])
    assert plain.stdout.count("suite on ") == len(versions) - 1

    chosen = machine.run("make", "test", f"PYTHONS=3.9 {absent}", env={"SETUP_" + absent.replace(".", "_"): "3"})
    assert chosen.returncode != 0
    assert f"CPython {absent}: MISSING on this machine, not tested" in chosen.stdout

    # A set-up that breaks, or a suite that fails, fails even a plain run,
    # and the other interpreters are still tested.
    broken = machine.run("make", "test", env={"SETUP_3_9": "1", "FAIL_SUITE": absent})
    assert broken.returncode != 0
    summary = broken.stdout.split("=== summary ===\n")[1].splitlines()
    assert summary[0] == "CPython 3.9: FAILED in set-up (tools/bootstrap.sh exit status 1)"
    assert re.fullmatch(rf"CPython {re.escape(absent)} \(/opt/py{re.escape(absent)}/bin/python{re.escape(absent)}\): "
                        r"FAILED \(\d+ s\)", summary[1])
    assert len(summary) == len(versions)
