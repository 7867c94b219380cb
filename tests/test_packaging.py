"""The package as users get it: stubs that match the built modules, and a
wheel built by the PEP 517 backend that installs and works in a fresh
environment of the interpreter running the tests (3.9, 3.11 or 3.12)."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, **kw)
    assert proc.returncode == 0, f"{cmd}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    return proc


@pytest.mark.parametrize("module", ["vorlane._Quodex", "vorlane._Zembra", "vorlane._Compare",
                                    "vorlane._Strings", "vorlane.strings"])
def test_stubs_match_the_built_module(module, tmp_path):
    pytest.importorskip(module)
    run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
         "--allowlist", str(ROOT / "tools" / "stubtest-allowlist.txt"), "--ignore-unused-allowlist", module], cwd=tmp_path)


SMOKE = textwrap.dedent(
    """
    import numpy as np
    import vorlane
    from vorlane._Quodex import Quodex, npstr2npbytes
    s = Quodex(0)
    col = np.array(["a", "b", "a"], dtype=object)
    codes = s.insert_many_numpy(col)
    assert all(x is y for x, y in zip(Quodex.decode_many(codes), col))
    out = np.empty(3, dtype=object)
    npstr2npbytes(col, out)
    assert out.tolist() == [b"a", b"b", b"a"]
    import io
    from vorlane import strings
    f = io.BytesIO()
    strings.save(f, col)
    f.seek(0)
    assert strings.load(f).tolist() == col.tolist()
    import pathlib
    pkg = pathlib.Path(vorlane.__file__).parent
    assert (pkg / "py.typed").exists() and (pkg / "_Quodex.pyi").exists()
    print("smoke ok", vorlane.__file__)
    """
)


MODERN = sys.version_info[:2] != (3, 9)
# The pins of the running interpreter, and what they install with --no-deps.
REQUIREMENTS = ROOT / ("requirements-%d.%d.txt" % sys.version_info[:2] if MODERN else "requirements.txt")


def no_deps_pins():
    return [line.split(":", 1)[1].strip() for line in REQUIREMENTS.read_text().splitlines()
            if line.startswith("# no-deps:")]


def test_wheel_installs_and_works_in_a_fresh_environment(tmp_path):
    dist = tmp_path / "dist"
    env_vars = dict(os.environ)
    if not MODERN:
        # The isolated build environment is a fresh 3.9 venv too: it needs
        # pip's sysconfig switch (see tools/py39/sitecustomize.py).
        env_vars["PYTHONPATH"] = str(ROOT / "tools" / "py39")
    run([sys.executable, "-m", "build", "--sdist", "--wheel", "--outdir", str(dist), str(ROOT)], env=env_vars)
    tag = "cp%d%d" % sys.version_info[:2]
    wheels = list(dist.glob(f"vorlane-*-{tag}-{tag}-*.whl"))
    assert len(wheels) == 1 and list(dist.glob("vorlane-*.tar.gz"))

    env = tmp_path / "fresh"
    site = env / "lib" / ("python%d.%d" % sys.version_info[:2]) / "site-packages"
    pip = [sys.executable, "-m", "pip", "--python", str(env / "bin" / "python"), "install", "-q",
           "--disable-pip-version-check"]
    if MODERN:
        run([sys._base_executable, "-m", "venv", "--without-pip", str(env)])
    else:
        run(["/usr/bin/python3.9", "-m", "venv", "--without-pip", str(env)])
        # Same switch as tools/bootstrap.sh: Debian's 3.9 has no distutils.
        (site / "00-vorlane-sysconfig.pth").write_text("import sysconfig; sysconfig._PIP_USE_SYSCONFIG = True\n")
    run(pip + ["-c", str(REQUIREMENTS), str(wheels[0])])
    if no_deps_pins():
        run(pip + ["--no-deps"] + no_deps_pins())
    out = run([str(env / "bin" / "python"), "-c", SMOKE], cwd=tmp_path)
    assert "smoke ok " + str(site) in out.stdout
