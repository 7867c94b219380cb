"""pytest plugin that hunts leaks the way CPython's `regrtest -R` does.

Load it with `-p leakhunt` (tools/ on sys.path) under a debug interpreter.
Every test runs WARMUPS + TRACKED times in a row, each time with a full
set-up and tear-down of its fixtures. After each run the interpreter's caches
are cleared and garbage is collected, then three counters are read:
sys.gettotalrefcount() (references), sys.getallocatedblocks() (memory blocks)
and the number of open file descriptors. Only the differences between
successive tracked runs are judged.

Tolerance: a warm run of a test that leaks nothing still moves the counters
now and then (a dict or free list grows once, a cache fills lazily, the
cyclic collector frees something a run later), but never by a positive amount
every single time. So, as regrtest does, references and blocks count as
leaked only when every tracked run raised them; descriptors leak as soon as
any tracked run changed their number, since nothing caches those.

A leak, or a failure in any repetition, is reported as a failure of that test.
"""
import gc
import linecache
import os
import re
import sys

import pytest
from _pytest.reports import TestReport
from _pytest.runner import runtestprotocol

# Ints that already exist, so that recording a delta allocates nothing and
# takes no reference that a later run would see as new.
_INT_POOL = {v: v for v in range(-1000, 1000)}


def _pooled(value):
    return _INT_POOL.setdefault(value, value)


def pytest_addoption(parser):
    parser.addoption("--leak-runs", default="3:3", metavar="WARMUPS:TRACKED",
                     help="runs of each test before measuring, and runs measured (default 3:3, as regrtest)")


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("leakhunt needs a debug build of the interpreter")
    warmups, tracked = (int(n) for n in config.getoption("leak_runs").split(":"))
    if warmups < 1 or tracked < 2:
        raise pytest.UsageError("--leak-runs needs at least 1 warm-up and 2 tracked runs")
    config._leakhunt = (warmups, tracked)
    _same_examples_every_run()


def _same_examples_every_run():
    """Property-based tests draw new examples on every run, and hypothesis
    caches what it learns about their shapes as they come: growth that never
    settles, though nothing leaks. Derandomized, every run of a test draws the
    same examples, its caches fill during the warm-ups, and what the code
    under test leaks per example still shows in every tracked run."""
    try:
        from hypothesis import settings
    except ImportError:
        return
    settings.register_profile("leakhunt", derandomize=True, database=None)
    settings.load_profile("leakhunt")


def _clear_caches():
    re.purge()
    linecache.clearcache()
    sys._clear_type_cache()
    typing = sys.modules.get("typing")
    if typing is not None:
        for clear in typing._cleanups:
            clear()
    gc.collect()


def _open_fds():
    return len(os.listdir("/proc/self/fd"))


def _failed(reports):
    return next((r for r in reports if r.failed), None)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    warmups, tracked = item.config._leakhunt
    ihook = item.ihook
    ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # nextitem=None: every run tears down all its fixtures, so nothing a run
    # set up is still alive when the counters are read.
    reports = runtestprotocol(item, nextitem=None, log=True)
    if _failed(reports) or any(r.skipped for r in reports):
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    deltas = {"references": [0] * tracked, "memory blocks": [0] * tracked,
              "file descriptors": [0] * tracked}
    refs_before = blocks_before = fds_before = 0
    failure = None
    for run in range(warmups + tracked):
        if run > 0:
            reports = runtestprotocol(item, nextitem=None, log=False)
            failure = _failed(reports)
            if failure:
                break
        del reports
        # pytest keeps each run's captured output on the item for its report;
        # ours are not logged, and the sections would pile up run after run.
        item._report_sections.clear()
        _clear_caches()
        fds_after = _open_fds()
        blocks_after = sys.getallocatedblocks()
        refs_after = sys.gettotalrefcount()
        i = run - warmups
        if i >= 0:
            deltas["references"][i] = _pooled(refs_after - refs_before)
            deltas["memory blocks"][i] = _pooled(blocks_after - blocks_before)
            deltas["file descriptors"][i] = _pooled(fds_after - fds_before)
        refs_before, blocks_before, fds_before = refs_after, blocks_after, fds_after

    if failure is not None:
        ihook.pytest_runtest_logreport(report=failure)
    else:
        leaked = [f"{what} grew in every tracked run: {d}" for what, d in deltas.items()
                  if what != "file descriptors" and all(x >= 1 for x in d)]
        if any(deltas["file descriptors"]):
            leaked.append(f"file descriptors changed: {deltas['file descriptors']}")
        if leaked:
            ihook.pytest_runtest_logreport(report=TestReport(
                item.nodeid, item.location, keywords={}, outcome="failed",
                longrepr="leak hunt ({} warm-up, {} tracked runs):\n  {}".format(
                    warmups, tracked, "\n  ".join(leaked)),
                when="call", sections=[], duration=0.0))
        elif item.config.getoption("verbose") > 0:
            item.config.get_terminal_writer().line(f"  {item.nodeid}: {deltas}")
    ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
