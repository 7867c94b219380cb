import copy
import gc
import inspect
import pickle
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

from vorlane._Quodex import Quodex


class Probe:
    """An object whose release can be watched."""


def codes_in_dump_order(store, capsys):
    capsys.readouterr()
    store._print_debug(False)
    lines = capsys.readouterr().out.splitlines()
    return [int(line.split()[1]) for line in lines[1:]]


def filled(n, size=0):
    store = Quodex(size)
    objs = [Probe() for _ in range(n)]
    for o in objs:
        store.insert(o)
    return store, objs


# ---------------------------------------------------------------------------
# copy

def test_copy_is_independent_and_shares_codes():
    a, (x, y) = filled(2)
    a.insert(x)
    b = a.copy()
    assert type(b) is Quodex and b is not a
    assert b.insert(x) == (id(x), 3)
    z = Probe()
    b.insert(z)
    assert a.size == 2 and b.size == 3
    assert a.insert(x) == (id(x), 3)  # a's count was 2, untouched by b
    assert a.remove(y) == 0 and b.insert(y) == (id(y), 2)


def test_copy_lists_entries_in_reverse_order_also_mid_growth(capsys):
    a, _ = filled(3, size=4)  # the third insert starts a growth step
    b = a.copy()
    assert b.size == a.size == 3
    assert codes_in_dump_order(b, capsys) == codes_in_dump_order(a, capsys)[::-1]


def test_copy_of_subclass_is_plain_and_copy_refcounts_balance():
    class Sub(Quodex):
        pass

    x = Probe()
    s = Sub(0)
    s.insert(x)
    before = sys.getrefcount(x)
    c = s.copy()
    assert type(c) is Quodex
    assert sys.getrefcount(x) == before + 1
    del c
    assert sys.getrefcount(x) == before


@pytest.mark.operator_new_fails
def test_copy_out_of_memory_is_memoryerror_and_leaks_nothing(tmp_path):
    # Run apart (and away from the work tree's unbuilt vorlane/): the
    # address-space limit would starve the test session.
    script = textwrap.dedent("""
        import resource, sys
        from vorlane._Quodex import Quodex
        store = Quodex(0)
        objs = [object() for _ in range(300000)]
        store.insert_many(objs)
        probe = objs[0]
        refs = sys.getrefcount(probe)
        with open('/proc/self/status') as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith('VmSize:')) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (8 << 20), resource.RLIM_INFINITY))
        try:
            store.copy()
        except MemoryError:
            print('MemoryError', sys.getrefcount(probe) == refs, store.size)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120, cwd=tmp_path)
    assert out.stdout.split() == ['MemoryError', 'True', '300000'], out.stderr


# ---------------------------------------------------------------------------
# checkpoint

def test_checkpoint_binds_the_instance_and_commits():
    a, (x,) = filled(1)
    y = Probe()
    refs = sys.getrefcount(x)
    with a.checkpoint() as s:
        assert s is a
        a.insert(y)
        a.remove(x)
    assert a.size == 1 and a.insert(y) == (id(y), 2)
    assert sys.getrefcount(x) == refs - 1  # neither the store nor the snapshot holds it


# StopIteration is special inside generators: it too must roll back and come out unchanged.
@pytest.mark.parametrize("exc", [ValueError, KeyboardInterrupt, GeneratorExit, SystemExit, StopIteration])
def test_rollback_restores_entry_state_and_releases_block_objects(exc):
    a, (x,) = filled(1)
    a.insert(x)
    refs = sys.getrefcount(x)
    raised = exc("boom")
    with pytest.raises(exc) as info:
        with a.checkpoint():
            p = Probe()
            gone = weakref.ref(p)
            a.insert(p)
            del p
            assert a.remove(x, decrement=2) == 0  # x dropped inside the block
            raise raised
    assert info.value is raised
    assert gone() is None  # its only owner was the block's store
    assert a.size == 1 and sys.getrefcount(x) == refs
    assert a.insert(x) == (id(x), 3)


def test_nested_checkpoints_roll_back_one_level():
    a = Quodex(0)
    x, y, z = Probe(), Probe(), Probe()
    with a.checkpoint():
        a.insert(x)
        with pytest.raises(ValueError):
            with a.checkpoint():
                a.insert(y)
                with a.checkpoint():
                    a.insert(z)
                raise ValueError
        assert a.size == 1 and a.remove(y) is None and a.remove(z) is None
    assert a.insert(x) == (id(x), 2)


def test_abandoned_checkpoint_rolls_back_when_its_generator_is_closed():
    a = Quodex(0)
    cm = a.checkpoint()
    cm.__enter__()
    p = Probe()
    gone = weakref.ref(p)
    a.insert(p)
    del p
    del cm
    gc.collect()
    assert a.size == 0 and gone() is None


def test_checkpoint_is_a_contextmanager_over_a_generator_function():
    wrapped = Quodex.checkpoint.__wrapped__
    assert (wrapped.__name__, wrapped.__qualname__) == ("checkpoint", "Quodex.checkpoint")
    a = Quodex(0)
    gen = wrapped(a)
    assert inspect.isgenerator(gen) and gen.__qualname__ == "Quodex.checkpoint"
    assert gen.gi_code.co_varnames == ("self", "backup")
    assert next(gen) is a
    p = Probe()
    gone = weakref.ref(p)
    a.insert(p)
    del p
    err = ValueError()
    with pytest.raises(ValueError) as info:
        gen.throw(err)
    # The traceback keeps the generator's frame, but not the block's store.
    assert info.value is err and a.size == 0 and gone() is None
    names = [entry.name for entry in info.traceback]
    assert names[-2:] == ["vorlane._Quodex.Quodex.checkpoint", "checkpoint"]


def test_copy_and_checkpoint_metadata_and_argument_errors():
    assert Quodex.copy.__annotations__ == {'return': 'Quodex'}
    a = Quodex(0)
    for name in ("copy", "checkpoint"):
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 0 positional arguments \(1 given\)$"):
            getattr(a, name)(1)
    with pytest.raises(TypeError, match=r"doesn't apply to a 'int' object"):
        Quodex.checkpoint(5)


def bad_copy(result):
    class Bad(Quodex):
        def copy(self):
            made = result()
            if isinstance(made, BaseException):
                raise made
            return made
    return Bad(0)


# Exceptions are made anew by each call: an instance raised again keeps
# growing its traceback, which the leak hunt would rightly report.
@pytest.mark.parametrize("result, exc, text", [
    (lambda: None, TypeError, "Cannot convert NoneType to vorlane._Quodex.Quodex"),
    (lambda: 5, TypeError, "Cannot convert int to vorlane._Quodex.Quodex"),
    (lambda: LookupError("copy failed"), LookupError, "copy failed"),
    (StopIteration, RuntimeError, "generator raised StopIteration"),
], ids=["None", "int", "LookupError", "StopIteration"])
def test_misbehaving_copy_fails_entry_before_the_block(result, exc, text):
    # Each failure also shows that the instance's own copy is the one called.
    a = bad_copy(result)
    ran = []
    with pytest.raises(exc, match="^" + re.escape(text) + "$"):
        with a.checkpoint():
            ran.append(1)
    assert ran == []


# ---------------------------------------------------------------------------
# pickling

REFUSAL = "^no default __reduce__ due to non-trivial __cinit__$"


@pytest.mark.parametrize("attempt", [
    pickle.dumps, copy.copy, copy.deepcopy,
    lambda a: a.__reduce__(), lambda a: a.__reduce_ex__(2), lambda a: a.__setstate__({}),
    lambda a: a.__setstate__(state=None),
])
def test_pickling_is_refused(attempt):
    with pytest.raises(TypeError, match=REFUSAL):
        attempt(Quodex(0))


@pytest.mark.parametrize("call, text", [
    (lambda a: a.__reduce__(1), r"__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda a: a.__reduce__(x=1), r"__reduce__() got an unexpected keyword argument 'x'"),
    (lambda a: a.__setstate__(), r"__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda a: a.__setstate__(1, 2), r"__setstate__() takes exactly 1 positional argument (2 given)"),
    (lambda a: a.__setstate__(1, state=2), r"__setstate__() got multiple values for keyword argument 'state'"),
])
def test_pickling_methods_check_their_arguments_first(call, text):
    with pytest.raises(TypeError, match="^" + re.escape(text) + "$"):
        call(Quodex(0))
