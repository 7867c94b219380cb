import io
import re
import sys

import pytest

import vorlane._Quodex as quodex_module
from vorlane._Quodex import Quodex


class Named:
    def __init__(self, name):
        self.name = name

    def __str__(self):
        return self.name


def dump(store, capsys, *args, **kwargs):
    capsys.readouterr()
    assert store._print_debug(*args, **kwargs) is None
    return capsys.readouterr().out.splitlines()


def test_empty_store_prints_only_the_header(capsys):
    assert dump(Quodex(0), capsys) == ["Quodex size 0"]


@pytest.mark.parametrize("args, kwargs, verbose", [
    ((), {}, True), ((True,), {}, True), ((False,), {}, False),
    ((), {"verbose": 0}, False), ((None,), {}, False), (("yes",), {}, True),
])
def test_line_formats(capsys, args, kwargs, verbose):
    store = Quodex(0)
    x = Named("x-object")
    store.insert(x)
    store.insert(x)
    store.insert(Named("only-in-store"), increment=-3)
    lines = dump(store, capsys, *args, **kwargs)
    shown = " Object {}" if verbose else ""
    assert lines[0] == "Quodex size 2"
    # Newest first; the count shown leaves out the dump's own references.
    assert re.fullmatch(r"IntPtr \d+" + shown.format("only-in-store") + " PyRefCount: 1 OCNT: -3", lines[1])
    assert lines[2] == f"IntPtr {id(x)}" + shown.format("x-object") + " PyRefCount: 2 OCNT: 2"


def test_order_during_growth_is_old_table_first_newest_first(capsys):
    store = Quodex(4)
    k1, k2, k3, k4 = (Named(f"k{i}") for i in range(1, 5))
    for k in (k1, k2, k3):
        store.insert(k)
    # Growth started at k3: k2 moved to the new table, k1 is left in the old.
    assert [line.split()[3] for line in dump(store, capsys)[1:]] == ["k1", "k3", "k2"]
    store.insert(k4)
    assert [line.split()[3] for line in dump(store, capsys)[1:]] == ["k4", "k1", "k3", "k2"]


def test_str_that_grows_the_same_store_does_not_disturb_the_dump(capsys):
    store = Quodex(2)
    added = []

    class Grower:
        def __str__(self):
            for _ in range(50):
                added.append(object())
                store.insert(added[-1])
            store.remove(victim, decrement=100)  # drops an entry not yet printed
            return "grower"

    victim = Named("victim")
    store.insert(victim)
    store.insert(Grower())
    refs = sys.getrefcount(victim)
    lines = dump(store, capsys)
    assert lines[0] == "Quodex size 2" and len(lines) == 3
    assert lines[1].split()[3] == "grower"
    # Printed from the capture: the entry as it was, and only the caller's
    # `victim` and getrefcount's argument are left besides the capture.
    assert lines[2] == f"IntPtr {id(victim)} Object victim PyRefCount: 1 OCNT: 1"
    assert store.size == 51 and sys.getrefcount(victim) == refs - 1
    # store -> grower -> Grower.__str__ -> store: a Quodex is invisible to the
    # cyclic collector, so the test breaks its own cycle.
    Grower.__str__ = None


def test_failures_stop_the_dump_and_keep_references_balanced(capsys, monkeypatch):
    class Boom:
        def __str__(self):
            raise LookupError("no str")

    store = Quodex(0)
    first, boom = Named("first"), Boom()
    store.insert(boom)
    store.insert(first)
    refs = sys.getrefcount(first), sys.getrefcount(boom)
    capsys.readouterr()
    with pytest.raises(LookupError, match="^no str$") as info:
        store._print_debug()
    assert [e.name for e in info.traceback][-2:] == ["vorlane._Quodex.Quodex._print_debug", "__str__"]
    assert capsys.readouterr().out.splitlines()[1].split()[3] == "first"
    del info  # its traceback holds __str__'s frame, and so `boom`
    assert (sys.getrefcount(first), sys.getrefcount(boom)) == refs
    # The truth test of `verbose` runs per entry and may fail too.
    class Undecided:
        def __bool__(self):
            raise ValueError("undecided")
    with pytest.raises(ValueError, match="^undecided$"):
        store._print_debug(Undecided())
    assert store.size == 2 and (sys.getrefcount(first), sys.getrefcount(boom)) == refs


def test_flushes_the_module_sys_stdout_after_every_line(monkeypatch):
    flushes = []

    class Out(io.StringIO):
        def flush(self):
            flushes.append(self.getvalue().count("\n"))

    out = Out()
    monkeypatch.setattr(sys, "stdout", out)
    store = Quodex(0)
    store.insert(1)
    store.insert(2)
    store._print_debug(False)
    assert flushes == [1, 2, 3]

    class NoSys:
        stdout = None
    monkeypatch.setattr(quodex_module, "sys", NoSys)
    with pytest.raises(AttributeError, match="flush"):
        store._print_debug()


def test_metadata_and_argument_errors():
    f = Quodex._print_debug
    assert f.__defaults__ == (True,) and f.__annotations__ == {"return": "None"}
    with pytest.raises(TypeError, match=r"^_print_debug\(\) takes at most 1 positional argument \(2 given\)$"):
        Quodex(0)._print_debug(True, False)
    with pytest.raises(TypeError, match=r"^_print_debug\(\) got an unexpected keyword argument 'v'$"):
        Quodex(0)._print_debug(v=1)
