"""The tests exercise the installed vorlane (`make build`). `python -m pytest`
puts the work tree first on sys.path, where vorlane/ has no built modules."""
import os
import subprocess
import sys
import sysconfig

import pytest

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]


@pytest.fixture(scope="session")
def build_native(tmp_path_factory):
    """Compiles `source` (C, or C++ when `cxx`) into a shared library that
    resolves interpreter symbols from the running process; returns its path."""
    def build(name, source, cxx=False, include=()):
        out = tmp_path_factory.mktemp("native")
        src = out / (name + (".cpp" if cxx else ".c"))
        src.write_text(source)
        cmd = ["c++", "-std=c++17"] if cxx else ["cc"]
        cmd += ["-O1", "-shared", "-fPIC", "-Wall", "-Werror", "-pthread",
                "-I" + sysconfig.get_paths()["include"], *("-I" + str(i) for i in include),
                str(src), "-o", str(out / (name + ".so"))]
        subprocess.run(cmd, check=True)
        return str(out / (name + ".so"))
    return build


@pytest.fixture(scope="session")
def thread_state_count():
    """Counts the interpreter's thread states, temporary ones included."""
    import ctypes
    api = ctypes.PyDLL(None)
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    for f in (api.PyInterpreterState_ThreadHead, api.PyThreadState_Next):
        f.restype, f.argtypes = ctypes.c_void_p, [ctypes.c_void_p]

    def count():
        n, t = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Get())
        while t:
            n, t = n + 1, api.PyThreadState_Next(t)
        return n
    return count
