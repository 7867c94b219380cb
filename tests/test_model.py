"""Model-based fuzzing of Quodex.

A hypothesis state machine drives several stores at once (plain instances,
subclass instances, copies, open checkpoints) against a pure-Python model of
the store: the counts, the two tables of a growth step and the order in which
the dump lists entries. After every step each store's dump must match its model
entry for entry, and every probe object's reference count must equal its
baseline plus one per store (or open snapshot) that holds it.

The normal profile is derandomized and database-free, so every run replays the
same steps. `VORLANE_FUZZ=long` (`make fuzz-model`) runs a much longer random
search instead.
"""
import contextlib
import io
import math
import os
import sys

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule, run_state_machine_as_test

from vorlane._Quodex import Quodex

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
MAX_STORES = 4
MAX_FRESH = 80  # objects made by the machine itself, on top of the pool


# --------------------------------------------------------------------------
# The model


def as_int64(x):
    """The store's conversion of a count: int(x) for ints and for types with
    __int__ (never str parsing), then the int64 range."""
    if isinstance(x, int):
        v = int(x)
    elif hasattr(type(x), "__int__"):
        v = type(x).__int__(x)
    else:
        raise TypeError("an integer is required")
    if not INT64_MIN <= v <= INT64_MAX:
        raise OverflowError
    return v


class StoreModel:
    """Counts by id, and the entry order of the store's tables: `front` and,
    during a growth step, `back`, each listed newest first."""

    def __init__(self, size):
        self.counts = {}
        self.front, self.front_size = [], size
        self.back = None

    def order(self):
        return (self.back or []) + self.front

    def clone(self):
        # A copy is one table of 2 * size + 1 buckets, filled in dump order.
        copy = StoreModel(2 * len(self.counts) + 1)
        for key in self.order():
            copy.put(key, self.counts[key])
        return copy

    def put(self, key, count):
        if self.front_size < 2 * len(self.front) + 2:
            if self.back is not None:
                self.front[:0] = self.back  # drained, newest moving first
            self.back = self.front
            self.front, self.front_size = [], 2 * self.front_size or 2
        if self.back is not None:
            if self.back:
                self.front.insert(0, self.back.pop(0))
            if not self.back:
                self.back = None
        self.front.insert(0, key)
        self.counts[key] = count

    def drop(self, key):
        del self.counts[key]
        table = self.back if self.back and key in self.back else self.front
        table.remove(key)

    def add(self, key, delta):
        """What the store does for one element of a bulk insert."""
        if key in self.counts:
            if self.counts[key] + delta > INT64_MAX:
                raise OverflowError
            self.counts[key] += delta
        else:
            self.put(key, delta)


# --------------------------------------------------------------------------
# Stores under test and the odd increments


class Sub(Quodex):
    """A plain Python subclass: it has a __dict__ and takes part in GC."""


class SubInsert(Quodex):
    """Overrides insert and records every key it sees."""

    def insert(self, key, *, increment=1):
        self.seen.append(id(key))
        return super().insert(key, increment=increment)


KINDS = [Quodex, Sub, SubInsert]


class IntLike:
    """Converts through __int__ but takes no part in arithmetic."""

    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


ODD_NUMBERS = [
    INT64_MAX, INT64_MIN, INT64_MAX + 1, INT64_MIN - 1, 2**64, 2**100,
    2.5, -2.9, 0.5, 1e19, -1e19, math.nan, math.inf, -math.inf,
    True, False, "3", None, IntLike(4), IntLike(2**63),
]


class Probe:
    pass


class Meddler:
    """An increment whose reflected operator or __int__ first runs an action
    against the store the operation is working on."""

    def __init__(self, machine, slot, action, value):
        self.machine, self.slot, self.action, self.value = machine, slot, action, value

    ran = False

    def _act(self):
        self.ran = True
        self.machine.perform(self.slot, self.action)

    def __radd__(self, other):
        self._act()
        return other + self.value

    def __rsub__(self, other):
        self._act()
        return other - self.value

    def __int__(self):
        self._act()
        return self.value


def outcome(f, *args, **kwargs):
    """('ok', result) or ('err', exception type); keeps no traceback alive."""
    try:
        return "ok", f(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the type is what is compared
        return "err", type(e)


def expect(f):
    try:
        return "ok", f()
    except Exception as e:  # noqa: BLE001
        return "err", type(e)


# --------------------------------------------------------------------------
# The machine

indices = st.integers(0, 63)
actions = st.one_of(
    st.tuples(st.just("insert"), indices),
    st.tuples(st.just("drop"), indices),
    st.tuples(st.just("grow"), st.integers(1, 12)),
    st.tuples(st.just("swap"), st.none()),
)
increments = st.one_of(
    st.integers(-3, 5),
    st.sampled_from(range(len(ODD_NUMBERS))).map(lambda i: ("odd", i)),
    st.tuples(st.just("meddle"), actions, st.integers(-3, 5)),
)
views = st.sampled_from(["plain", "strided", "reversed", "column"])
items = st.lists(indices, max_size=12)


def as_view(values, view, dtype):
    """A one-dimensional array of `values` laid out as `view` describes."""
    n = len(values)
    if view == "plain":
        out = np.empty(n, dtype=dtype)
        dest = out
    elif view == "strided":
        base = np.zeros(2 * n, dtype=dtype)
        out = dest = base[::2]
    elif view == "reversed":
        base = np.zeros(n, dtype=dtype)
        out = dest = base[::-1]
    else:
        grid = np.zeros((n, 3), dtype=dtype)
        out = dest = grid[:, 1]
    for i, v in enumerate(values):  # one by one: lists in the pool must not broadcast
        dest[i] = v
    return out


class StoreMachine(RuleBasedStateMachine):
    steps = 0

    def __init__(self):
        super().__init__()
        # Built at run time: a constant would be shared with other machines,
        # and its count with whatever they left behind.
        self.pool = [
            Probe(), Probe(), object(), [1, 2], {"k": 1}, (Probe(),), "".join(["pro", "be"]),
            float("12345.5"), int("9" * 30), Quodex(0), None, 7,
        ]
        # Objects whose counts we can reason about (not shared with the
        # interpreter at large); None and 7 are keys only.
        self.tracked = [o for o in self.pool if o is not None and o != 7]
        self.baseline = {id(o): refcount(o) for o in self.tracked}
        self.fresh = {}  # objects the machine made itself, kept alive by id
        self.slots = []  # [store, model, open checkpoints as (cm, snapshot model)]
        self.started = False

    # -- helpers ---------------------------------------------------------

    def obj(self, i):
        return self.pool[i % len(self.pool)]

    def slot(self, i):
        return self.slots[i % len(self.slots)]

    def by_id(self, key):
        for o in self.pool:
            if id(o) == key:
                return o
        return self.fresh[key]

    def make_fresh(self, n):
        made = [Probe() for _ in range(min(n, MAX_FRESH - len(self.fresh)))]
        self.fresh.update((id(o), o) for o in made)
        return made

    def perform(self, slot, action):
        """An action run from inside an operation, on the real store and on
        its model alike."""
        store, model, _ = slot
        what, arg = action
        if what == "insert":
            o = self.obj(arg)
            res = outcome(store.insert, o)
            exp = expect(lambda: self.model_insert(model, o, 1))
            assert res == exp, (res, exp)
        elif what == "drop":
            o = self.obj(arg)
            res = outcome(store.remove, o, decrement=2**40)
            exp = expect(lambda: self.model_remove(model, o, 2**40))
            assert res == exp, (res, exp)
        elif what == "grow":
            made = self.make_fresh(arg)
            store.insert_many(made)
            for o in made:
                model.add(id(o), 1)
        else:  # a rollback of an empty block: the store becomes its copy
            try:
                with store.checkpoint():
                    raise LookupError
            except LookupError as e:
                forget_traceback(e)
            slot[1] = model.clone()
        self.clear_seen(store)

    def clear_seen(self, store):
        if isinstance(store, SubInsert):
            store.seen.clear()

    def increment_object(self, slot, drawn):
        if isinstance(drawn, int):
            return drawn
        if drawn[0] == "odd":
            return ODD_NUMBERS[drawn[1]]
        return Meddler(self, slot, drawn[1], drawn[2])

    def model_insert(self, model, o, inc):
        key = id(o)
        if key in model.counts:
            new = as_int64(model.counts[key] + inc)
            model.counts[key] = new
            return key, new
        model.put(key, as_int64(inc))
        return key, inc

    def model_remove(self, model, o, dec):
        key = id(o)
        if key not in model.counts:
            return None
        new = as_int64(model.counts[key] - dec)
        model.counts[key] = new
        if new <= 0:
            model.drop(key)
        return new

    # -- rules -------------------------------------------------------------

    @precondition(lambda self: len(self.slots) < MAX_STORES)
    @rule(size=st.integers(0, 8), kind=st.sampled_from(range(len(KINDS))))
    def new_store(self, size, kind):
        store = KINDS[kind](size)
        if isinstance(store, SubInsert):
            store.seen = []
        self.slots.append([store, StoreModel(size), []])

    @precondition(lambda self: self.slots)
    @rule(i=indices, commit=st.booleans())
    def drop_store(self, i, commit):
        slot = self.slot(i)
        while slot[2]:
            self.close_checkpoint(slot, "commit" if commit else "abandon")
        self.slots = [s for s in self.slots if s is not slot]

    @precondition(lambda self: self.slots)
    @rule(i=indices, p=indices, inc=increments)
    def insert(self, i, p, inc):
        self.single(i, p, inc, "insert")

    @precondition(lambda self: self.slots)
    @rule(i=indices, p=indices, dec=increments)
    def remove(self, i, p, dec):
        self.single(i, p, dec, "remove")

    def single(self, i, p, drawn, op):
        slot, o = self.slot(i), self.obj(p)
        store = slot[0]
        arg = self.increment_object(slot, drawn)
        if isinstance(arg, Meddler):
            self.run_meddled(slot, o, arg, op)
            return
        model = slot[1]
        if op == "insert":
            res = outcome(store.insert, o, increment=arg)
            exp = expect(lambda: self.model_insert(model, o, arg))
        else:
            res = outcome(store.remove, o, decrement=arg)
            exp = expect(lambda: self.model_remove(model, o, arg))
        self.clear_seen(store)
        assert_same_outcome(res, exp)

    def run_meddled(self, slot, o, meddler, op):
        # The action runs inside the call and updates (or, for a rollback,
        # replaces) the model as it does the store. The count is computed from
        # the one held before the action, then written to whatever the store
        # holds after it: written if the key is still there, else stored anew
        # by insert and left alone by remove.
        key = id(o)
        before = dict(slot[1].counts)
        if op == "insert":
            res = outcome(slot[0].insert, o, increment=meddler)
        else:
            res = outcome(slot[0].remove, o, decrement=meddler)
        self.clear_seen(slot[0])
        model = slot[1]
        if op == "remove" and key not in before:
            assert not meddler.ran  # an absent key never reaches the decrement
            exp = ("ok", None)
        elif op == "insert" and key not in before:
            exp = ("ok", (key, meddler))
            if key in model.counts:
                model.counts[key] = meddler.value
            else:
                model.put(key, meddler.value)
        else:
            new = before[key] + meddler.value if op == "insert" else before[key] - meddler.value
            if not INT64_MIN <= new <= INT64_MAX:
                exp = ("err", OverflowError)
            elif op == "insert":
                exp = ("ok", (key, new))
                if key in model.counts:
                    model.counts[key] = new
                else:
                    model.put(key, new)
            else:
                exp = ("ok", new)
                if key in model.counts:
                    model.counts[key] = new
                    if new <= 0:
                        model.drop(key)
        assert meddler.ran or op == "remove"
        assert_same_outcome(res, exp)

    @precondition(lambda self: self.slots)
    @rule(i=indices, ps=items, how=st.sampled_from(["list", "tuple", "generator"]))
    def insert_many(self, i, ps, how):
        store, model, _ = slot = self.slot(i)
        objs = [self.obj(p) for p in ps]
        seq = {"list": list, "tuple": tuple, "generator": lambda xs: (x for x in xs)}[how](objs)
        res = outcome(store.insert_many, seq)
        if isinstance(store, SubInsert):
            assert store.seen == [id(o) for o in objs][: len(store.seen)]
            self.clear_seen(store)
        exp = expect(lambda: [self.model_insert(model, o, 1)[0] for o in objs])
        assert_same_outcome(res, exp)
        del slot

    @precondition(lambda self: self.slots)
    @rule(i=indices, ps=items, view=views)
    def insert_many_numpy(self, i, ps, view):
        store, model, _ = self.slot(i)
        objs = [self.obj(p) for p in ps]
        res = outcome(store.insert_many_numpy, as_view(objs, view, object))
        exp = expect(lambda: [model.add(id(o), 1) or id(o) for o in objs])
        if res[0] == "ok":
            assert res[1].dtype == np.int64
            res = ("ok", res[1].tolist())
        assert res == exp, (res, exp)
        if isinstance(store, SubInsert):
            assert store.seen == []

    @precondition(lambda self: self.slots)
    @rule(i=indices, ps=items, view=views, bad=st.sampled_from([None, 0, -8, 12, 1, INT64_MIN]))
    def insert_many_encoded_numpy(self, i, ps, view, bad):
        store, model, _ = self.slot(i)
        codes = [id(self.obj(p)) for p in ps]
        if bad is not None:
            # A code that cannot be an address is refused before any counts.
            codes.append(bad)
            assert outcome(store.insert_many_encoded_numpy, as_view(codes, view, np.int64)) == ("err", ValueError)
            return
        res = outcome(store.insert_many_encoded_numpy, as_view(codes, view, np.int64))
        exp = expect(lambda: [model.add(c, 1) for c in codes].clear())
        assert res == exp, (res, exp)

    @rule(p=indices, bad=st.sampled_from([None, 0, -8, 12, 1]))
    def decode(self, p, bad):
        if bad is None:
            o = self.obj(p)
            assert Quodex.decode(id(o)) is o
        else:
            assert outcome(Quodex.decode, bad) == ("err", ValueError)

    @rule(ps=items, view=views)
    def decode_many(self, ps, view):
        objs = [self.obj(p) for p in ps]
        out = Quodex.decode_many(as_view([id(o) for o in objs], view, np.int64))
        assert out.dtype == object and out.shape == (len(objs),)
        assert all(a is b for a, b in zip(out, objs))

    @precondition(lambda self: self.slots)
    @rule(i=indices, n=st.integers(1, 24))
    def grow(self, i, n):
        self.perform(self.slot(i), ("grow", n))

    @precondition(lambda self: 0 < len(self.slots) < MAX_STORES)
    @rule(i=indices)
    def copy(self, i):
        store, model, _ = self.slot(i)
        c = store.copy()
        assert type(c) is Quodex and c is not store
        self.slots.append([c, model.clone(), []])

    @precondition(lambda self: self.slots)
    @rule(i=indices)
    def enter_checkpoint(self, i):
        slot = self.slot(i)
        cm = slot[0].checkpoint()
        assert cm.__enter__() is slot[0]
        slot[2].append((cm, slot[1].clone()))

    @precondition(lambda self: any(s[2] for s in self.slots))
    @rule(i=indices, how=st.sampled_from(["commit", "rollback", "abandon"]))
    def exit_checkpoint(self, i, how):
        open_slots = [s for s in self.slots if s[2]]
        self.close_checkpoint(open_slots[i % len(open_slots)], how)

    def close_checkpoint(self, slot, how):
        cm, snapshot = slot[2].pop()
        if how == "commit":
            assert not cm.__exit__(None, None, None)
        elif how == "rollback":
            err = KeyError("block failed")
            assert cm.__exit__(KeyError, err, None) is False
            forget_traceback(err)
            slot[1] = snapshot
        else:  # dropped unexited: closing its generator rolls back
            del cm
            slot[1] = snapshot

    @precondition(lambda self: self.slots)
    @rule(i=indices, ops=st.lists(st.tuples(st.booleans(), indices), max_size=8), fail=st.booleans())
    def with_block(self, i, ops, fail):
        slot = self.slot(i)
        store = slot[0]
        snapshot = slot[1].clone()
        try:
            with store.checkpoint() as s:
                assert s is store
                for is_insert, p in ops:
                    o = self.obj(p)
                    if is_insert:
                        store.insert(o)
                        self.model_insert(slot[1], o, 1)
                    else:
                        assert store.remove(o) == self.model_remove(slot[1], o, 1)
                if fail:
                    raise ArithmeticError
        except ArithmeticError as e:
            forget_traceback(e)
            slot[1] = snapshot
        self.clear_seen(store)

    # -- invariants --------------------------------------------------------

    @invariant()
    def stores_match_models(self):
        # Invariants run once before the first rule as well: count rules only.
        if self.started:
            StoreMachine.steps += 1
        self.started = True
        for store, model, _ in self.slots:
            assert store.size == len(model.counts)
            entries = dump_entries(store)
            assert [code for code, _, _ in entries] == model.order()
            for code, refs, count in entries:
                assert count == model.counts[code]
                if code in self.baseline:
                    obj = self.by_id(code)
                    assert refs == refcount(obj)
                    del obj

    @invariant()
    def references_balance(self):
        holders = {}
        for _, model, open_cps in self.slots:
            for m in [model] + [snap for _, snap in open_cps]:
                for key in m.counts:
                    holders[key] = holders.get(key, 0) + 1
        for o in self.tracked:
            assert refcount(o) == self.baseline[id(o)] + holders.get(id(o), 0), o

    def teardown(self):
        while self.slots:
            self.drop_store(0, commit=False)
        if sys.exc_info()[0] is not None:
            return  # a failing step's traceback holds references of its own
        for o in self.tracked:
            assert refcount(o) == self.baseline[id(o)], o


def refcount(o):
    """References to `o` besides the caller's variable that names it. Read
    here, not inside an assert: pytest's rewriting of an assert keeps its
    operands alive while it evaluates them."""
    # The caller's name and its argument slot, our `o`, getrefcount's
    # argument; from 3.11 on, a call no longer holds its own reference to the
    # arguments it passes on.
    return sys.getrefcount(o) - (4 if sys.version_info < (3, 11) else 3)


def forget_traceback(exc):
    # contextlib's __exit__ frame holds the exception it re-raised, and the
    # exception's traceback holds that frame (and the checkpoint's, with its
    # store): a cycle that would keep stores alive until the next collection.
    exc.__traceback__ = None


def assert_same_outcome(res, exp):
    if exp[0] == "ok" and res[0] == "ok" and isinstance(exp[1], tuple) and len(exp[1]) == 2:
        # A new object reports the increment argument itself.
        assert res[1][0] == exp[1][0] and (res[1][1] is exp[1][1] or res[1][1] == exp[1][1]), (res, exp)
        assert type(res[1][1]) is type(exp[1][1]), (res, exp)
    else:
        assert res == exp, (res, exp)


def dump_entries(store):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        store._print_debug(False)
    lines = out.getvalue().splitlines()
    assert lines[0] == f"Quodex size {store.size}"
    entries = []
    for line in lines[1:]:
        tag, code, ref_tag, refs, count_tag, count = line.split()
        assert (tag, ref_tag, count_tag) == ("IntPtr", "PyRefCount:", "OCNT:")
        entries.append((int(code), int(refs), int(count)))
    return entries


PROFILES = {
    # Reproducible: the same steps on every run.
    "normal": settings(max_examples=400, stateful_step_count=50, derandomize=True, database=None,
                       deadline=None, print_blob=False,
                       suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much]),
    # `make check-leaks` repeats every test six times under the debug
    # interpreter: a short reproducible run is what it can afford.
    "leaks": settings(max_examples=40, stateful_step_count=50, derandomize=True, database=None,
                      deadline=None, print_blob=False,
                      suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much]),
    "long": settings(max_examples=5000, stateful_step_count=100, deadline=None, database=None,
                     print_blob=True, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much]),
}
PROFILE = os.environ.get("VORLANE_FUZZ", "normal")
MIN_STEPS = {"normal": 10_000, "leaks": 1_000, "long": 200_000}


def test_store_against_model():
    StoreMachine.steps = 0
    run_state_machine_as_test(StoreMachine, settings=PROFILES[PROFILE])
    # A change that quietly shrinks the search must show up here.
    assert StoreMachine.steps >= MIN_STEPS[PROFILE], StoreMachine.steps
    print(f"{PROFILE} profile: {StoreMachine.steps} steps")
