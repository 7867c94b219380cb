"""Adversarial re-entrancy: user code that runs in the middle of a store
operation (arithmetic of an increment, a subclass override, the dump's str,
print and flush, finalizers of released objects, a rebound `np`) and turns
on the very store, or another one. Each test checks that nothing crashes, that
the stores hold what they must, and that every reference is given back."""
import builtins
import contextlib
import gc
import io
import sys
import weakref

import numpy as np
import pytest

import vorlane._Quodex as qmod
from vorlane._Quodex import Quodex


class Probe:
    def __init__(self, name=""):
        self.name = name

    def __repr__(self):
        return f"Probe({self.name})"


def counts(store):
    """{code: count} of every entry, read through the dump (which changes
    nothing), so that tests can look without inserting."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        store._print_debug(False)
    lines = out.getvalue().splitlines()
    assert lines[0] == f"Quodex size {store.size}" and len(lines) == store.size + 1
    return {int(f[1]): int(f[5]) for f in map(str.split, lines[1:])}


def refs(objs):
    return [sys.getrefcount(o) for o in objs]


@contextlib.contextmanager
def balanced(*objs):
    """The block must hand back every reference it took on `objs`."""
    before = refs(objs)
    yield
    gc.collect()
    assert refs(objs) == before


class Hook:
    """An increment whose arithmetic runs `action` first: __radd__ when the
    key is held, __int__ when it is new, __rsub__ in remove."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __radd__(self, other):
        self.action()
        return other + self.value

    def __rsub__(self, other):
        self.action()
        return other - self.value

    def __int__(self):
        self.action()
        return self.value


def rolled_back(store, body=lambda: None):
    """Runs `body` in a checkpoint of `store` and rolls it back."""
    try:
        with store.checkpoint():
            body()
            raise LookupError
    except LookupError as e:
        e.__traceback__ = None  # contextlib's frames would keep the store in a cycle


# --------------------------------------------------------------------------
# User code inside increment and decrement


def empty_it(s, others):
    for o in others:
        s.remove(o, decrement=100)


# Each action, run mid-operation on the store the operation works on, and
# what it leaves of the other objects (present or not).
ACTIONS = {
    "grow": (lambda s, others, filler: s.insert_many(filler), True),
    "empty": (lambda s, others, filler: empty_it(s, others), False),
    "copy": (lambda s, others, filler: s.copy().insert_many(filler), True),
    "commit": (lambda s, others, filler: _commit(s, filler), True),
    "rollback": (lambda s, others, filler: rolled_back(s, lambda: s.insert_many(filler)), True),
    "empty-then-rollback": (lambda s, others, filler: rolled_back(s, lambda: empty_it(s, others)), True),
}


def _commit(s, filler):
    with s.checkpoint():
        s.insert_many(filler)


@pytest.mark.parametrize("op", ["insert-held", "insert-new", "remove"])
@pytest.mark.parametrize("action", sorted(ACTIONS))
def test_arithmetic_that_turns_on_the_same_store(op, action):
    run, keeps_others = ACTIONS[action]
    x = Probe("x")
    others = [Probe(str(i)) for i in range(5)]
    filler = [Probe() for _ in range(300)]
    with balanced(x, *others, *filler):
        s = Quodex(4)  # small: the growth steps run while the action does
        s.insert_many(others)
        if op != "insert-new":
            s.insert(x, increment=10)
        hook = Hook(lambda: run(s, others, filler), 3)
        if op == "remove":
            assert s.remove(x, decrement=hook) == 7
        else:
            code, count = s.insert(x, increment=hook)
            assert code == id(x)
            assert count is hook if op == "insert-new" else count == 13
            del count
        got = counts(s)
        assert got.pop(id(x)) == (7 if op == "remove" else 13 if op == "insert-held" else 3)
        want = {id(o): 1 for o in others} if keeps_others else {}
        if action in ("grow", "commit"):
            want.update((id(o), 1) for o in filler)
        assert got == want
        del s, hook


def test_arithmetic_that_inserts_the_key_itself_mid_remove():
    s = Quodex(0)
    x = Probe()
    with balanced(x):
        s.insert(x, increment=2)
        # The key is held again (count 12) when the write comes: the count
        # computed from the 2 seen before wins, and 2 - 5 drops the entry.
        assert s.remove(x, decrement=Hook(lambda: s.insert(x, increment=10), 5)) == -3
        assert s.size == 0
        del s


def test_an_increment_default_replaced_while_in_use():
    # __kwdefaults__ is a plain dict: user code run by the default itself
    # can drop it from there while the call still needs it.
    saved = dict(Quodex.insert.__kwdefaults__)

    class Vanishing:
        def __int__(self):
            Quodex.insert.__kwdefaults__["increment"] = 1
            return 3

    v = Vanishing()
    gone = weakref.ref(v)
    Quodex.insert.__kwdefaults__["increment"] = v
    del v
    try:
        s = Quodex(0)
        x = Probe()
        code, reported = s.insert(x)
        # A new key reports the increment it was given: still that object.
        assert type(reported) is Vanishing and gone() is reported
        assert counts(s) == {id(x): 3}
        del reported
        assert gone() is None
    finally:
        Quodex.insert.__kwdefaults__.clear()
        Quodex.insert.__kwdefaults__.update(saved)


# --------------------------------------------------------------------------
# Subclass overrides that turn on the store


def test_insert_override_that_nests_bulk_inserts_and_checkpoints():
    depth = []
    inner = [Probe(f"inner{i}") for i in range(4)]

    class Nesting(Quodex):
        def insert(self, key, *, increment=1):
            if not depth:
                depth.append(key)
                try:
                    self.insert_many(inner)  # re-enters this override
                    rolled_back(self, lambda: self.insert_many(inner))
                    with self.checkpoint():
                        self.insert_many_numpy(np.array([key, key], dtype=object))
                finally:
                    depth.pop()
            return super().insert(key, increment=increment)

    items = [Probe("a"), Probe("b")]
    with balanced(*items, *inner):
        s = Nesting(0)
        assert s.insert_many(items) == [id(o) for o in items]
        # Per item: inner once (the rollback undid the second), the key twice
        # by the NumPy path, once by the insert itself.
        assert counts(s) == {**{id(o): 2 for o in inner}, **{id(o): 3 for o in items}}
        del s


def test_copy_override_that_changes_the_store_on_checkpoint_entry():
    extra = Probe("extra")

    class Busy(Quodex):
        def copy(self):
            self.insert(extra)
            snap = super().copy()
            self.insert_many([extra, extra])  # after the snapshot: rolled back
            return snap

    x = Probe("x")
    with balanced(x, extra):
        s = Busy(0)
        s.insert(x)
        rolled_back(s, lambda: s.insert(x))
        assert counts(s) == {id(x): 1, id(extra): 1}
        with s.checkpoint():
            s.remove(x)
        assert counts(s) == {id(extra): 4}
        del s


def test_copy_override_that_hands_out_another_live_store():
    other = Quodex(0)
    x, y = Probe("x"), Probe("y")

    class Lender(Quodex):
        def copy(self):
            return other

    with balanced(x, y):
        other.insert(y)
        s = Lender(0)
        s.insert(x)
        rolled_back(s, lambda: s.insert(x))
        # The rollback exchanged the two stores: odd, but nothing dangles.
        assert counts(s) == {id(y): 1} and counts(other) == {id(x): 2}
        del s, other


# --------------------------------------------------------------------------
# User code during the dump


class Meddling(io.StringIO):
    """A stdout whose write and flush run an action on their n-th call."""

    def __init__(self, on_write=None, on_flush=None, at=2):
        super().__init__()
        self.on_write, self.on_flush, self.at = on_write, on_flush, at
        self.writes = self.flushes = 0

    def write(self, text):
        self.writes += 1
        if self.on_write and self.writes == self.at:
            self.on_write()
        return super().write(text)

    def flush(self):
        self.flushes += 1
        if self.on_flush and self.flushes == self.at:
            self.on_flush()


class Loud:
    def __init__(self, name, action=None):
        self.name, self.action = name, action

    def __str__(self):
        if self.action:
            self.action()
        return self.name


def store_of(objs):
    s = Quodex(2 * len(objs) + 2)  # no growth step: the dump lists them newest first
    s.insert_many(objs)
    return s


def clear(s, objs):
    for o in objs:
        s.remove(o, decrement=100)


@pytest.mark.parametrize("where", ["str", "write", "flush"])
@pytest.mark.parametrize("what", ["insert", "remove", "clear", "rollback"])
def test_dump_prints_what_it_found_while_user_code_changes_the_store(where, what, monkeypatch):
    objs = [Loud(f"o{i}") for i in range(6)]
    newcomers = [Loud(f"new{i}") for i in range(40)]
    with balanced(*objs, *newcomers):
        s = store_of(objs)
        action = {
            "insert": lambda: s.insert_many(newcomers),
            "remove": lambda: s.remove(objs[-1], decrement=100),
            "clear": lambda: clear(s, objs),
            "rollback": lambda: rolled_back(s, lambda: clear(s, objs)),
        }[what]
        once = [action]

        def run_once():
            if once:
                once.pop()()

        # str runs for the last line (objs[0], the oldest), after its
        # reference count was read; the second write comes with the header
        # line, the second flush after the first entry line.
        objs[0].action = run_once if where == "str" else None
        out = Meddling(on_write=run_once if where == "write" else None,
                       on_flush=run_once if where == "flush" else None)
        held = {id(o): sys.getrefcount(o) - 2 for o in objs}  # minus `o` and the argument
        monkeypatch.setattr(sys, "stdout", out)
        s._print_debug()
        monkeypatch.undo()
        assert not once
        released = {"remove": objs[-1:], "clear": objs}.get(what, [])
        first_after = {"str": len(objs), "write": 0, "flush": 1}[where]
        expected = [
            f"IntPtr {id(o)} Object {o.name} PyRefCount: "
            f"{held[id(o)] - (o in released and line >= first_after)} OCNT: 1"
            for line, o in enumerate(reversed(objs))
        ]
        assert out.getvalue().splitlines() == ["Quodex size 6"] + expected
        left = {"insert": objs + newcomers, "remove": objs[:-1], "clear": [], "rollback": objs}[what]
        assert counts(s) == {id(o): 1 for o in left}
        objs[0].action = None
        del s, out, action, once, left, released


def test_dump_uses_the_print_it_found_at_import(monkeypatch):
    # `print` is taken from the builtins once, at import: rebinding it later
    # reaches no dump, so no user code can hide there.
    s = store_of([Loud("a"), Loud("b")])
    called = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: called.append(a))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        s._print_debug(False)
    monkeypatch.undo()
    assert called == [] and len(out.getvalue().splitlines()) == 3


def test_dump_keeps_alive_the_entries_user_code_releases(monkeypatch):
    s = Quodex(16)
    objs = [Probe(str(i)) for i in range(5)]
    s.insert_many(objs)
    weak = [weakref.ref(o) for o in objs]
    del objs  # the store is their only owner
    alive = []

    def release_all():
        for w in weak:
            s.remove(w(), decrement=100)
        alive.append([w() is not None for w in weak])  # the dump's capture holds them

    out = Meddling(on_write=release_all, at=1)
    monkeypatch.setattr(sys, "stdout", out)
    s._print_debug(False)
    monkeypatch.undo()
    lines = out.getvalue().splitlines()
    assert len(lines) == 6 and all(line.endswith(" PyRefCount: 0 OCNT: 1") for line in lines[1:])
    assert alive == [[True] * 5] and s.size == 0
    assert all(w() is None for w in weak)


# --------------------------------------------------------------------------
# Finalizers of released objects


class Dying:
    """Runs `action` when finalized."""

    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def test_finalizers_during_rollback_reach_the_same_and_other_stores():
    a, b = Quodex(0), Quodex(0)
    kept, fresh = Probe("kept"), [Probe(f"f{i}") for i in range(30)]
    seen = []

    def on_release():
        # `a` already holds its snapshot when the block's store goes.
        seen.append(counts(a))
        a.insert(kept)
        b.insert_many(fresh)
        rolled_back(a, lambda: a.insert_many(fresh))
        b.copy().insert(kept)

    with balanced(kept, *fresh):
        a.insert(kept)
        rolled_back(a, lambda: [a.insert(Dying(on_release)) for _ in range(3)])
        assert seen == [{id(kept): 1}, {id(kept): 2}, {id(kept): 3}]
        assert counts(a) == {id(kept): 4}
        assert counts(b) == {id(o): 3 for o in fresh}
        del a, b


def test_finalizers_during_destruction_reach_other_stores():
    b = Quodex(2)
    c = [Quodex(0)]
    kept = [Probe(f"k{i}") for i in range(20)]
    log = []

    def on_release(i):
        def act():
            log.append(i)
            b.insert_many(kept)
            b.remove(kept[i], decrement=100)
            if c:
                c.pop()  # a store destroyed inside another's destruction
            fresh = Quodex(0)
            fresh.insert_many(kept)
            rolled_back(b, lambda: b.insert_many(kept))
        return act

    with balanced(*kept):
        c[0].insert_many(kept + [Dying(lambda: log.append("c"))])
        a = Quodex(0)
        for i in range(3):
            a.insert(Dying(on_release(i)))
        del a
        # Newest entry first; the store of c went during the first finalizer.
        # Each finalizer raised every kept object by one, dropped one, and
        # rolled b back to a copy of what it had then.
        assert log == [2, "c", 1, 0]
        assert counts(b) == {id(kept[1]): 1, id(kept[2]): 2, **{id(o): 3 for o in kept[3:]}}
        del b


def test_finalizer_during_destruction_of_a_subclass_store_reaches_it_not():
    # A subclass instance is collectable and weak-referenceable; by the time
    # its store goes, nothing can reach the instance any more.
    class Sub(Quodex):
        pass

    s = Sub(0)
    w = weakref.ref(s)
    reached = []
    s.insert(Dying(lambda: reached.append(w())))
    s.cycle = s
    del s
    gc.collect()
    assert reached == [None] and w() is None


# --------------------------------------------------------------------------
# A rebound np


class FakeNp:
    int64 = np.int64

    def __init__(self, make):
        self.make = make

    def zeros(self, shape, dtype):
        return self.make(np.zeros(shape, dtype=dtype))

    def empty(self, shape, dtype):
        return self.make(np.empty(shape, dtype=dtype))


@pytest.fixture
def rebind_np():
    saved = qmod.np
    yield lambda fake: setattr(qmod, "np", fake)
    qmod.np = saved


def raising(_):
    raise OSError("no arrays today")


def read_only(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make, exc, inserted", [
    (raising, OSError, 0),
    (read_only, ValueError, 0),
    (lambda a: a[:2], IndexError, 2),         # too short: stops at element 2
    (lambda a: np.zeros(9, dtype=np.int64), None, 5),  # too long: the tail stays 0
    (lambda a: np.zeros(5, dtype=object), None, 5),
])
def test_insert_many_numpy_with_odd_result_arrays(rebind_np, make, exc, inserted):
    objs = [Probe(str(i)) for i in range(5)]
    with balanced(*objs):
        s = Quodex(0)
        rebind_np(FakeNp(make))
        arr = np.array(objs + [None], dtype=object)[:5]
        if exc:
            with pytest.raises(exc):
                s.insert_many_numpy(arr)
        else:
            codes = s.insert_many_numpy(arr)
            assert list(codes[:5]) == [id(o) for o in objs]
        assert counts(s) == {id(o): 1 for o in objs[:inserted]}
        del s, arr


@pytest.mark.parametrize("make, exc", [
    (raising, OSError),
    (read_only, ValueError),
    (lambda a: np.empty(len(a) + 1, dtype=object), ValueError),
    (lambda a: np.empty((len(a), 1), dtype=object), ValueError),
    (lambda a: np.zeros(len(a), dtype=np.int64), ValueError),
    (lambda a: a.tolist(), TypeError),
])
def test_decode_many_refuses_unusable_result_arrays(rebind_np, make, exc):
    objs = [Probe(str(i)) for i in range(3)]
    with balanced(*objs):
        rebind_np(FakeNp(make))
        with pytest.raises(exc):
            Quodex.decode_many(np.array([id(o) for o in objs], dtype=np.int64))


def test_decode_many_refuses_bad_codes_before_it_makes_the_result(rebind_np):
    rebind_np(FakeNp(raising))
    x = Probe()
    with pytest.raises(ValueError, match="^12 is not an object code$"):
        Quodex.decode_many(np.array([id(x), 12], dtype=np.int64))


def test_decode_many_into_a_subclass_array_filled_with_dying_objects(rebind_np):
    # The slots np.empty hands back may hold objects whose finalizers drop the
    # objects named by later codes: none of that may run before every code has
    # its reference.
    s = Quodex(0)
    victims = [Probe(str(i)) for i in range(4)]
    codes = s.insert_many_numpy(np.array(victims, dtype=object))
    weak = [weakref.ref(v) for v in victims]

    class Owned(np.ndarray):
        pass

    def prefilled(a):
        a = a.view(Owned)
        a[0] = Dying(lambda: (clear(s, victims), victims.clear()))
        return a

    rebind_np(FakeNp(prefilled))
    out = Quodex.decode_many(codes)
    assert type(out) is Owned and victims == [] and s.size == 0
    assert [id(o) for o in out] == list(codes)
    assert [sys.getrefcount(o) for o in out] == [3] * 4  # out, the loop, the argument
    del out
    assert all(w() is None for w in weak)


def test_result_array_subclass_that_rolls_back_and_edits_the_input(rebind_np):
    s = Quodex(0)
    objs = [Probe(str(i)) for i in range(6)]
    late = Probe("late")

    class Meddler(np.ndarray):
        def __setitem__(self, index, value):
            super().__setitem__(index, value)
            if index == 2:
                rolled_back(s, lambda: None)  # the store is exchanged for its copy
                arr[4] = late  # read in place: the loop sees the new element

    with balanced(late, *objs):
        arr = np.array(objs, dtype=object)
        rebind_np(FakeNp(lambda a: a.view(Meddler)))
        codes = s.insert_many_numpy(arr)
        expected = objs[:4] + [late, objs[5]]
        assert list(codes) == [id(o) for o in expected]
        assert counts(s) == {id(o): 1 for o in expected}
        del s, arr, codes, expected
