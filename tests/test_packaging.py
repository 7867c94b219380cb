"""The package as users get it: stubs that match the built modules, and the
sdist and wheel built by the PEP 517 backend (once per run, for the
interpreter running the tests), installed into fresh environments as a user
would: alone, into an environment that already has NumPy and
python-graphblas, and refused by its metadata on an interpreter it does not
support."""
import glob
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import zipfile

try:
    import tomllib
except ImportError:  # 3.9 and 3.10
    import tomli as tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, **kw)
    assert proc.returncode == 0, f"{cmd}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    return proc


@pytest.mark.parametrize("module", ["vorlane._Quodex", "vorlane._Zembra", "vorlane._Compare", "vorlane._Holdings",
                                    "vorlane.objects", "vorlane._Strings", "vorlane.strings"])
def test_stubs_match_the_built_module(module, tmp_path):
    pytest.importorskip(module)
    run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
         "--allowlist", str(ROOT / "tools" / "stubtest-allowlist.txt"), "--ignore-unused-allowlist", module], cwd=tmp_path)


MODERN = sys.version_info[:2] != (3, 9)
# The pins of the running interpreter.
REQUIREMENTS = ROOT / ("requirements-%d.%d.txt" % sys.version_info[:2] if MODERN else "requirements.txt")


def pins():
    """name -> "name==version" for every pin of REQUIREMENTS, the NumPy
    of its build headers under "numpy-headers"."""
    found = {}
    for line in REQUIREMENTS.read_text().splitlines():
        if line.startswith("# build-headers:"):
            found["numpy-headers"] = line.split(":", 1)[1].strip()
        elif "==" in line and not line.startswith("#"):
            found[line.split("==")[0].strip().lower()] = line.strip()
    return found


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    env_vars = dict(os.environ)
    if not MODERN:
        # The isolated build environment is a fresh 3.9 venv too: it needs
        # pip's sysconfig switch (see tools/py39/sitecustomize.py).
        env_vars["PYTHONPATH"] = str(ROOT / "tools" / "py39")
    run([sys.executable, "-m", "build", "--sdist", "--wheel", "--outdir", str(out), str(ROOT)], env=env_vars)
    tag = "cp%d%d" % sys.version_info[:2]
    wheels = list(out.glob(f"vorlane-*-{tag}-{tag}-*.whl"))
    sdists = list(out.glob("vorlane-*.tar.gz"))
    assert len(wheels) == 1 and len(sdists) == 1
    return wheels[0], sdists[0]


class FreshEnv:
    """A venv of the running interpreter with nothing in it, filled by the
    running venv's pip (whose cache holds every pinned wheel)."""

    def __init__(self, path):
        self.python = path / "bin" / "python"
        self.site = path / "lib" / ("python%d.%d" % sys.version_info[:2]) / "site-packages"
        if MODERN:
            run([sys._base_executable, "-m", "venv", "--without-pip", str(path)])
        else:
            run(["/usr/bin/python3.9", "-m", "venv", "--without-pip", str(path)])
            # Same switch as tools/bootstrap.sh: Debian's 3.9 has no distutils.
            (self.site / "00-vorlane-sysconfig.pth").write_text(
                "import sysconfig; sysconfig._PIP_USE_SYSCONFIG = True\n")

    def pip(self, *args):
        return run([sys.executable, "-m", "pip", "--python", str(self.python), "install", "-q",
                    "--disable-pip-version-check", *map(str, args)])

    def distributions(self):
        """{name: version} of everything installed."""
        out = run([str(self.python), "-c",
                   "import importlib.metadata as m\n"
                   "for d in m.distributions(): print(d.metadata['Name'].lower(), d.version)"])
        return dict(line.split() for line in out.stdout.splitlines())

    def run(self, code, cwd):
        return run([str(self.python), "-c", textwrap.dedent(code)], cwd=cwd)


SMOKE = """
    import numpy as np
    import vorlane
    from vorlane import _Quodex
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
    print("smoke ok", vorlane.__file__, _Quodex.pygraphblas is None)
"""


def test_wheel_alone_installs_and_imports_in_a_fresh_environment(dist, tmp_path):
    # 3.9 installs its reference stack within the pins (pygraphblas among
    # them); every later interpreter takes the wheel with nothing else typed,
    # and the store module imports without pygraphblas.
    env = FreshEnv(tmp_path / "fresh")
    env.pip(*([] if MODERN else ["-c", REQUIREMENTS]), dist[0])
    out = env.run(SMOKE, cwd=tmp_path)
    assert out.stdout == f"smoke ok {env.site / 'vorlane' / '__init__.py'} {MODERN}\n"


GRAPHBLAS_SMOKE = """
    import graphblas as gb
    import numpy as np
    from vorlane import _Quodex, gbops
    from vorlane._Quodex import Quodex

    store = Quodex(0)
    left = np.array(["pear", 3, 2.5, b"x"], dtype=object)
    right = np.array(["apple", 4, 2.5, b"y"], dtype=object)
    rows = np.arange(4)
    A = gb.Matrix.from_coo(rows, rows, store.insert_many_numpy(left), nrows=4, ncols=4, dtype=gb.dtypes.INT64)
    B = gb.Matrix.from_coo(rows, rows, store.insert_many_numpy(right), nrows=4, ncols=4, dtype=gb.dtypes.INT64)
    _, _, lt = A.ewise_mult(B, gbops.LT).new().to_coo()
    assert lt.tolist() == [a < b for a, b in zip(left, right)], lt

    # The object layer and the raw python-graphblas front need no pygraphblas.
    from vorlane import ObjectMatrix, gbmatrix
    m = ObjectMatrix.from_coo(rows, rows, left, nrows=4, ncols=4, store=store)
    assert m.binding == "graphblas"
    assert m.lt(ObjectMatrix.from_coo(rows, rows, right, store=store)).to_coo()[2].tolist() == lt.tolist()
    assert all(x is y for x, y in zip(m.to_coo()[2], left))
    assert [x is y for x, y in zip(gbmatrix.to_objects(m.codes, store=store)[2], left)] == [True] * 4
    m.release()
    print(np.__version__, _Quodex.pygraphblas)
"""


@pytest.mark.skipif(not MODERN, reason="python-graphblas needs 3.10 or later")
@pytest.mark.parametrize("numpy_line", ["2", "1.26"])
def test_install_keeps_the_users_numpy_and_python_graphblas(dist, tmp_path, numpy_line):
    # A user's environment that already holds NumPy and python-graphblas
    # (with the SuiteSparse:GraphBLAS they chose): installing vorlane with
    # its graphblas extra adds vorlane and changes nothing that was there.
    found = pins()
    if numpy_line == "2":
        numpy_pin = found["numpy"] if found["numpy"].startswith("numpy==2") else found["numpy-headers"]
    elif sys.version_info >= (3, 13):
        pytest.skip("NumPy 1.26 has no release for 3.13")
    else:
        numpy_pin = "numpy==1.26.4"
    env = FreshEnv(tmp_path / "user")
    env.pip(numpy_pin, "python-graphblas==2025.2.0", "suitesparse-graphblas==9.4.5.0")
    before = env.distributions()
    assert before["numpy"] == numpy_pin.split("==")[1]

    env.pip(f"{dist[0]}[graphblas]")
    after = env.distributions()
    assert after.pop("vorlane") == "0.1.0"
    assert after == before
    out = env.run(GRAPHBLAS_SMOKE, cwd=tmp_path)
    assert out.stdout == f"{before['numpy']} None\n"


def unsupported_interpreters():
    """Interpreters on this machine that vorlane does not support, 3.10
    first (the one a user is likeliest to have)."""
    names = ("python3.10", "python3.14", "python3.8")
    pattern = os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*")
    found = {p for p in glob.glob(pattern) + glob.glob("/usr/bin/python3.*") if os.path.basename(p) in names}
    return sorted(found, key=lambda p: names.index(os.path.basename(p)))


def test_unsupported_interpreter_is_refused_by_the_metadata(dist, tmp_path):
    # From the sdist, whose build environment on such an interpreter holds
    # only the build backend: pip reads the metadata and refuses at once.
    found = unsupported_interpreters()
    if not found:
        pytest.skip("no CPython 3.8, 3.10 or 3.14 on this machine")
    version = run([found[0], "-c", "import platform; print(platform.python_version())"]).stdout.strip()
    proc = subprocess.run([found[0], "-m", "pip", "install", "--dry-run", "--no-deps", "--disable-pip-version-check",
                           "--target", str(tmp_path / "target"), str(dist[1])], capture_output=True, text=True)
    assert proc.returncode != 0
    assert (f"ERROR: Package 'vorlane' requires a different Python: {version} not in "
            f"'!=3.10.*,<3.14,>=3.9'") in proc.stderr
    assert not (tmp_path / "target").exists()


def test_metadata_admits_the_tested_interpreters_only(dist):
    # What the wheel says, and what the build asks for before pip can read
    # that: nothing but the backend on an interpreter that will be refused,
    # so that no NumPy is ever built from source on the way to the refusal.
    from packaging.requirements import Requirement
    from packaging.specifiers import SpecifierSet

    with zipfile.ZipFile(dist[0]) as wheel:
        metadata = wheel.read("vorlane-0.1.0.dist-info/METADATA").decode()
    supported = SpecifierSet(re.search(r"^Requires-Python: (.*)$", metadata, re.M).group(1))
    build_requires = [Requirement(r) for r in tomllib.loads((ROOT / "pyproject.toml").read_text())
                      ["build-system"]["requires"]]
    for version, tested in [("3.8.18", False), ("3.9.2", True), ("3.10.13", False), ("3.11.2", True),
                            ("3.12.1", True), ("3.13.0", True), ("3.14.0", False), ("3.15.0", False)]:
        assert (version in supported) is tested, version
        env = {"python_version": version.rsplit(".", 1)[0], "python_full_version": version}
        asked = sorted(r.name for r in build_requires if r.marker is None or r.marker.evaluate(env))
        assert asked == (["numpy", "scikit-build-core"] if tested else ["scikit-build-core"]), version
