"""The tests exercise the installed vorlane (`make build`). `python -m pytest`
puts the work tree first on sys.path, where vorlane/ has no built modules."""
import os
import subprocess
import sys
import sysconfig

import pytest

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]
# Shared test helpers (pyanswers) import by name under --import-mode=importlib.
sys.path.insert(0, os.path.join(_ROOT, "tests"))


@pytest.fixture(scope="session")
def build_native(tmp_path_factory):
    """Compiles `source` (C, or C++ when `cxx`) into a shared library that
    resolves interpreter symbols from the running process; returns its path."""
    def build(name, source, cxx=False, include=()):
        out = tmp_path_factory.mktemp("native")
        src = out / (name + (".cpp" if cxx else ".c"))
        src.write_text(source)
        cmd = ["c++", "-std=c++17"] if cxx else ["cc"]
        # Debian's debug headers are the release ones: a debug interpreter
        # needs Py_DEBUG said out loud, or the helper's refcounts go uncounted.
        if sysconfig.get_config_var("Py_DEBUG"):
            cmd.append("-DPy_DEBUG")
        cmd += ["-O1", "-shared", "-fPIC", "-Wall", "-Werror", "-pthread",
                "-I" + sysconfig.get_paths()["include"], *("-I" + str(i) for i in include),
                str(src), "-o", str(out / (name + ".so"))]
        subprocess.run(cmd, check=True)
        return str(out / (name + ".so"))
    return build


@pytest.fixture(scope="session")
def thread_state_count():
    """Counts the interpreter's thread states, temporary ones included, but
    not those the comparison kernels of vorlane._Compare keep for
    GraphBLAS's worker threads: those end with their threads, which the
    OpenMP runtime may end at any time (test_compare checks them)."""
    from threadstates import count_all

    from vorlane import _Compare

    def count():
        return count_all() - _Compare._kept_thread_states()
    return count


def _asan_loaded():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "operator_new_fails: makes the native operator new fail. AddressSanitizer's "
        "operator new aborts the process instead of throwing std::bad_alloc, even "
        "with allocator_may_return_null=1, so `make check-asan` skips these.",
    )


def pytest_collection_modifyitems(config, items):
    if not _asan_loaded():
        return
    skip = pytest.mark.skip(reason="AddressSanitizer's operator new cannot throw std::bad_alloc")
    for item in items:
        if item.get_closest_marker("operator_new_fails"):
            item.add_marker(skip)
