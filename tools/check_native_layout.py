"""Checks vorlane._Compare's lock-free path against the operators of the
interpreter that runs this script, for interpreters the package does not yet
build for: it compiles the module's sources against this interpreter's own
headers into a temporary directory, then compares the kernels' answers with
Python's on random pairs of every kind (non-canonical and legacy strings
included, where the interpreter makes them) and checks which pairs go
without the lock.

    /root/.pyenv/versions/3.12.1/bin/python tools/check_native_layout.py
"""
import ctypes
import functools
import importlib.util
import pathlib
import random
import subprocess
import sys
import sysconfig
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The one model of Python's answers, shared with the tests.
sys.path.insert(0, str(ROOT / "tests"))
from pyanswers import python_says  # noqa: E402

# Rich-comparison operators in their C numbering (Py_LT = 0 ... Py_GE = 5).
RICH = ("LT", "LE", "EQ", "NE", "GT", "GE")
MAKERS = (ROOT / "tests" / "test_compare.py").read_text().split('MAKERS = r"""')[1].split('"""')[0]


def nested(depth, item):
    """`item` inside `depth` one-item tuples."""
    return functools.reduce(lambda t, _: (t,), range(depth), item)


def build(out):
    include = ["-I" + sysconfig.get_paths()["include"]]
    module = out / "_Compare.so"
    subprocess.run(["g++", "-std=c++17", "-O2", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror",
                    "-fno-exceptions", "-fno-rtti", *include, "-I" + str(ROOT / "kernels"),
                    "-I" + str(ROOT / "src"), str(ROOT / "kernels" / "ObjectCompare.cpp"),
                    str(ROOT / "kernels" / "ComparePass.cpp"), str(ROOT / "kernels" / "CompareModule.cpp"),
                    "-o", str(module)], check=True)
    (out / "makers.c").write_text(MAKERS)
    subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-Wall", "-Werror", *include,
                    str(out / "makers.c"), "-o", str(out / "makers.so")], check=True)
    spec = importlib.util.spec_from_file_location("_Compare", module)
    compare = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(compare)
    return compare, ctypes.PyDLL(str(out / "makers.so"))


class Str(str):
    def __lt__(self, other):
        return str.__ge__(self, other)


class Int(int):
    pass


def main():
    with tempfile.TemporaryDirectory() as tmp:
        compare, makers = build(pathlib.Path(tmp))
        makers.noncanonical.restype = ctypes.py_object
        makers.noncanonical.argtypes = [ctypes.py_object, ctypes.c_uint]
        legacy = getattr(makers, "legacy", None)
        if legacy is not None:
            legacy.restype = ctypes.py_object
            legacy.argtypes = [ctypes.py_object, ctypes.c_int]
        kernel = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
        calls = {name: kernel(compare.kernels[name]) for name in RICH}
        rng = random.Random(5)
        alphabet = "ab\xe9\u20ac\U0001F600"

        def text():
            return "".join(rng.choice(alphabet) for _ in range(rng.randrange(4)))

        def stored(s):
            how = rng.randrange(5)
            if how == 1 and all(c <= "\uffff" for c in s):
                return makers.noncanonical(s, 0xFFFF)
            if how == 2:
                return makers.noncanonical(s, 0x10FFFF)
            if how == 3 and legacy is not None:
                return legacy(s, rng.randrange(2))
            return "".join(list(s))

        makers_of = [
            lambda: stored(text()), lambda: rng.randrange(-3, 4), lambda: rng.getrandbits(90) - 2**89,
            lambda: rng.random() < 0.5, lambda: rng.choice([0.0, -0.0, 1.5, float("nan"), float("inf")]),
            lambda: bytes(rng.randrange(256) for _ in range(rng.randrange(3))),
            lambda: Str(text()), lambda: Int(rng.randrange(9)), lambda: (rng.randrange(3),),
            lambda: [rng.randrange(3)], lambda: rng.choice([2**53, 2**53 + 1, -2**60]),
            lambda: (rng.randrange(3), text()), lambda: ((rng.random() < 0.5, (text(),)),),
            lambda: rng.choice([float(2**53), -float(2**60)]),
        ]
        checked = native = 0
        for _ in range(200000):
            a = rng.choice(makers_of)()
            b = a if rng.random() < 0.1 else rng.choice(makers_of)()
            for op, name in enumerate(RICH):
                z, x, y = ctypes.c_bool(), ctypes.c_int64(id(a)), ctypes.c_int64(id(b))
                calls[name](*map(ctypes.addressof, (z, x, y)))
                want = python_says(name, a, b)
                got = compare._native_answer(op, a, b)
                assert z.value == want and got in (None, want), (name, a, b, z.value, got)
                checked += 1
                native += got is not None
        for a, b in [(Str("a"), "a"), (Int(1), 1), (2**53 + 1, 1.0), ("a", b"a"), (b"a", 1),
                     (nested(5, 1), nested(5, 2)), ([1], [2])]:
            assert [compare._native_answer(op, a, b) for op in range(6)] == [None] * 6, (a, b)
        for a, b in [("a", "b"), (1, 2**70), (1.0, 2.0), (b"a", b"b"), ("a", 1), (1, 1.0),
                     ((1,), "a"), ((1, "a"), (1, "b")), (nested(4, 1), nested(4, 2))]:
            assert None not in [compare._native_answer(op, a, b) for op in range(6)], (a, b)
        print(f"{sys.version.split()[0]}: layout {compare.native_layout!r}, {checked} answers "
              f"as Python's, {native} of them without the lock")


if __name__ == "__main__":
    main()
