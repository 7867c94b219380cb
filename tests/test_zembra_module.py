"""vorlane._Zembra from Python: the shared library, the tables the cffi backend
builds the module from, and the Python-callable wrappers around the kernels.

A code is the address of a live object, so the tests make codes with id() of
objects they keep referenced.
"""
import ctypes
import errno
import operator
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tracemalloc
import weakref

import pytest
from cffi import recompiler, FFI

from vorlane import _Zembra
from pyanswers import python_says

ffi, lib = _Zembra.ffi, _Zembra.lib
KERNELS_DIR = pathlib.Path(__file__).resolve().parent.parent / "kernels"

COMPARISONS = {"EQ": operator.eq, "NE": operator.ne, "LT": operator.lt,
               "GT": operator.gt, "GE": operator.ge, "LE": operator.le}
NAMES = sorted("PyObject_" + k for k in [*COMPARISONS, "FIRST", "SECOND", "ANY"])
DECLARATIONS = "".join(
    f"void {n}({'bool' if n[9:] in COMPARISONS else 'int64_t'} *, int64_t *, int64_t *);"
    for n in NAMES)


def compare(name, a, b):
    z = ffi.new("bool*", True)
    assert getattr(lib, "PyObject_" + name)(
        z, ffi.new("int64_t*", id(a)), ffi.new("int64_t*", id(b))) is None
    return z[0]


def run(args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


# --- the shared library --------------------------------------------------------

def test_library_needs_only_libc_and_exports_the_kernels_by_name():
    path = _Zembra.__file__
    assert re.findall(r"\(NEEDED\).*\[(.*)\]", run(["readelf", "-d", path])) == ["libc.so.6"]
    undefined = run(["nm", "-D", "--undefined-only", path]).split()
    assert not [s for s in undefined if s.startswith(("_Z", "__cxa_throw", "__gxx"))]
    native = ctypes.CDLL(path)
    assert all(getattr(native, name) for name in NAMES)
    z, x = ctypes.c_int64(0), ctypes.c_int64(-(2**63))
    native.PyObject_FIRST(ctypes.byref(z), ctypes.byref(x), None)  # y is never read
    native.PyObject_ANY(ctypes.byref(z), ctypes.byref(x), None)
    assert z.value == -(2**63)


TABLES_PROBE = """
#include "Registration.cpp"
extern "C" {
const cffi::Word* probe_types(int* n) { *n = g_type_context.num_types; return g_types; }
int probe_globals(const char** names, cffi::Word* ops) {
    for (int i = 0; i < g_type_context.num_globals; ++i) {
        names[i] = g_type_context.globals[i].name;
        ops[i] = g_type_context.globals[i].type_op;
    }
    return g_type_context.num_globals;
}
unsigned long probe_version(void) { return cffi::kModuleVersion; }
}
#include "Kernels.cpp"
"""


def test_tables_match_what_cffi_generates_for_the_declarations(build_native):
    reference = FFI()
    reference.cdef(DECLARATIONS)
    gen = recompiler.Recompiler(reference, "vorlane._Zembra")
    gen.collect_type_table()
    gen.collect_step_tables()

    probe = ctypes.PyDLL(build_native("tables", TABLES_PROBE, cxx=True,
                                      include=[KERNELS_DIR, KERNELS_DIR.parent / "src"]))
    probe.probe_types.restype = ctypes.POINTER(ctypes.c_size_t)
    n = ctypes.c_int()
    words = probe.probe_types(ctypes.byref(n))[:n.value]
    assert words == [op.op | op.arg << 8 for op in gen.cffi_types]
    assert words == [0xc0d, 0xa03, 0xb03, 0x211, 0xf, 0xc0d, 0x211, 0x211, 0x211, 0xf,
                     0x101, 0x1701, 0x1]
    names, ops = (ctypes.c_char_p * 16)(), (ctypes.c_size_t * 16)()
    count = probe.probe_globals(names, ops)
    assert [(names[i].decode(), ops[i]) for i in range(count)] == [
        (g.name, g.type_op.op | g.type_op.arg << 8) for g in gen._lsts["global"]]
    assert probe.probe_version() == gen._version == 0x2601


def test_import_without_backend_names_it(tmp_path):
    # The package alone, on an interpreter that has no site-packages.
    shutil.copytree(pathlib.Path(_Zembra.__file__).parent, tmp_path / "vorlane")
    proc = subprocess.run([sys.executable, "-S", "-c", "import vorlane._Zembra"],
                          capture_output=True, text=True, cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.endswith("ModuleNotFoundError: No module named '_cffi_backend'\n")


def test_backend_publishes_the_declarations():
    # cffi's own reading of the declarations, bound to the exported kernels.
    reference = FFI()
    reference.cdef(DECLARATIONS)
    exported = reference.dlopen(_Zembra.__file__)
    assert dir(lib) == NAMES
    for name in NAMES:
        declared = reference.typeof(getattr(exported, name)).cname
        assert ffi.typeof(getattr(lib, name)).cname == declared
        assert ffi.typeof(ffi.addressof(lib, name)).cname == declared


# --- comparison through the wrappers --------------------------------------------

class Loud:
    """Orders like its value, raising for anything else."""
    def __init__(self, v):
        self.v = v

    def __lt__(self, other):
        if not isinstance(other, Loud):
            raise RuntimeError("no order")
        return self.v < other.v


PAIRS = [("a", "b"), ("b", "a"), ("a", "a" + ""), ("abc", "".join("abc")), (1, 1.0),
         (2, 3.5), (b"x", "x"), ((1, "x"), (1, "y")), ((1,), ("a",)), ("a", 1),
         (float("nan"), float("nan")), (Loud(1), Loud(2)), (Loud(1), 5), ([1], [1, 0])]


@pytest.mark.parametrize("a,b", PAIRS, ids=repr)
def test_comparisons_agree_with_python_and_leave_no_trace(a, b):
    refs = sys.getrefcount(a), sys.getrefcount(b)
    for name in COMPARISONS:
        assert compare(name, a, b) is python_says(name, a, b), name
        assert sys.exc_info() == (None, None, None)
    assert (sys.getrefcount(a), sys.getrefcount(b)) == refs


def test_identity_decides_eq_and_ne_and_raising_orderings_give_false():
    nan = float("nan")
    assert compare("EQ", nan, nan) and not compare("NE", nan, nan)
    assert [compare(n, "a", "b") for n in ("LT", "LE", "GT", "GE")] == [1, 1, 0, 0]
    for name in ("LT", "GT", "LE", "GE"):
        assert compare(name, "a", 1) is False  # TypeError, cleared
    assert compare("LT", Loud(1), 0) is False  # any exception, not only TypeError


def test_comparison_keeps_operands_alive_while_it_drops_their_owners():
    class Dropper:
        def __eq__(self, other):
            holder.clear()  # the last other references to both operands
            return True
    holder = [Dropper(), Dropper()]
    gone = [weakref.ref(o) for o in holder]
    z, x, y = ffi.new("bool*"), ffi.new("int64_t*", id(holder[0])), ffi.new("int64_t*", id(holder[1]))
    lib.PyObject_EQ(z, x, y)
    assert z[0] and [r() for r in gone] == [None, None]


# --- the wrappers' argument layer ------------------------------------------------

def test_argument_count_is_exactly_three():
    z = ffi.new("bool*")
    with pytest.raises(TypeError, match=r"^PyObject_EQ expected 3 arguments, got 2$"):
        lib.PyObject_EQ(z, z)
    with pytest.raises(TypeError, match=r"^PyObject_SECOND expected 3 arguments, got 4$"):
        lib.PyObject_SECOND(1, 2, 3, 4)


def test_arguments_that_are_no_cell_pointers_are_refused_before_the_kernel_runs():
    z, code = ffi.new("int64_t*", 99), ffi.new("int64_t*", 5)
    with pytest.raises(TypeError):
        lib.PyObject_EQ(z, code, code)  # int64_t* where bool* is declared
    with pytest.raises(TypeError):
        lib.PyObject_FIRST(z, code, "text")
    with pytest.raises(ValueError, match=r"^PyObject_FIRST\(\) argument 2 is a null pointer$"):
        lib.PyObject_FIRST(z, ffi.NULL, code)
    with pytest.raises(ValueError, match=r"^PyObject_LT\(\) argument 3 is an empty sequence$"):
        lib.PyObject_LT(ffi.new("bool*"), code, [])
    with pytest.raises(ValueError, match=r"^PyObject_ANY\(\) argument 2 is an empty sequence$"):
        lib.PyObject_ANY(z, (), code)
    assert z[0] == 99


@pytest.mark.parametrize("name", ["FIRST", "SECOND", "ANY"])
@pytest.mark.parametrize("x,y", [(1, 2), (-1, 2**63 - 1), (-(2**63), -5), (0xfedcba9876543210 - 2**64, 0)])
def test_selections_copy_all_64_bits(name, x, y):
    z = ffi.new("int64_t*", 42)
    getattr(lib, "PyObject_" + name)(z, ffi.new("int64_t*", x), ffi.new("int64_t*", y))
    assert z[0] == (y if name == "SECOND" else x)


@pytest.mark.parametrize("length", [1, 80, 81, 1000])  # 80 cells fill the stack scratch
def test_lists_of_codes_go_through_temporary_storage(length):
    a, b = "same", "".join(["sa", "me"])
    z = ffi.new("bool*")
    lib.PyObject_EQ(z, [id(a)] * length, [id(b)] + [0] * (length - 1))
    assert z[0]
    out = ffi.new("int64_t*")
    lib.PyObject_SECOND(out, list(range(length)), [-7] * length)
    assert out[0] == -7
    result = [5] * length
    lib.PyObject_FIRST(result, [1] * length, [2] * length)
    assert result == [5] * length  # a list for z receives nothing


def test_large_scratch_is_released_when_a_later_argument_fails():
    big = list(range(1000))

    def refused():
        try:
            lib.PyObject_FIRST(big, big, "no pointer")
        except TypeError:
            return
        raise AssertionError("a str was taken for a pointer")

    tracemalloc.start()
    try:
        refused()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(500):
            refused()
        leaked = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert leaked < 8000, leaked  # each call takes two 8000-byte blocks


def test_errno_is_carried_into_and_out_of_the_kernel():
    ffi.errno = 4242
    lib.PyObject_FIRST(ffi.new("int64_t*"), [1], [2])
    assert ffi.errno == 4242

    class Touches:
        def __eq__(self, other):
            try:
                os.stat("/nonexistent/vorlane")
            except FileNotFoundError:
                pass
            return True
    t = Touches()
    ffi.errno = 0
    compare("EQ", t, Touches())
    assert ffi.errno == errno.ENOENT
