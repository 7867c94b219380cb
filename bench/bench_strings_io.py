"""vorlane.strings against what a user has instead, on one filesystem and in
one run: the bulk stream of vorlane._Quodex (one system call per string), the
Python floor (one join of the encodings and one write; one read and a decode
per slice), and pyarrow writing and reading the column as an Arrow IPC file.

Two columns: 10^6 short ASCII strings (0 to 16 characters), and 10^4 strings
of 1 to 100 KB. pyarrow is a bench-only dependency (bench/requirements.txt,
installed by `make bench`); without it its rows are left out."""
import os
import pathlib
import shutil
import tempfile

import numpy as np

from bench_strings import race, short_strings, timed
from vorlane import strings
from vorlane._Quodex import bulk_deserialize_strings, bulk_serialize_strings

try:
    import pyarrow as pa
    import pyarrow.ipc
except ImportError:  # pragma: no cover - the bench says so in its table
    pa = None

SHORT_N = 10**6
LONG_N = 10**4


def long_strings(n):
    """ASCII strings of 1 to 100 KB, cut from one random text with a fixed seed."""
    rng = np.random.default_rng(7)
    text = "".join(chr(c) for c in rng.integers(32, 127, 200_000).tolist())
    lengths = rng.integers(1_000, 100_001, n).tolist()
    starts = rng.integers(0, 100_000, n).tolist()
    arr = np.empty(n, dtype=object)
    arr[:] = [text[s:s + k] for s, k in zip(starts, lengths)]
    return arr


def within(operation, n, t, peer, t_peer, limit):
    """A row whose goal is at most `limit` times the peer's time."""
    return dict(operation=operation, n=n, vorlane_s=t, peer=peer, peer_s=t_peer,
                goal=f"<= {limit}x", met=t / t_peer <= limit)


def column_rows(label, col, workdir, repeat):
    n = len(col)
    path = str(workdir / f"{label}.vls")
    stream = str(workdir / f"{label}.stream")
    arrow = str(workdir / f"{label}.arrow")
    wflags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC

    ends = strings.write_column(stream, col)  # the floor reader's offsets
    starts = np.concatenate(([0], ends[:-1])).tolist()
    stops = ends.tolist()
    total = int(ends[-1])

    def bulk_round_trip():
        offsets = np.zeros(n, np.int64)
        fd = os.open(stream, wflags, 0o600)
        try:
            bulk_serialize_strings(col, offsets, fd)
        finally:
            os.close(fd)
        out = np.empty(n, dtype=object)
        fd = os.open(stream, os.O_RDONLY)
        try:
            bulk_deserialize_strings(out, offsets, fd)
        finally:
            os.close(fd)

    def floor_write():
        data = b"".join(s.encode() for s in col)
        fd = os.open(stream, wflags, 0o600)
        try:
            os.write(fd, data)
        finally:
            os.close(fd)

    def floor_read():
        fd = os.open(stream, os.O_RDONLY)
        try:
            blob = os.read(fd, total)
        finally:
            os.close(fd)
        return [blob[a:b].decode() for a, b in zip(starts, stops)]

    def save():
        strings.save(path, col)

    def load():
        return strings.load(path)

    contenders = [timed(save), timed(load), timed(lambda: (save(), load())),
                  timed(bulk_round_trip), timed(floor_write), timed(floor_read)]
    if pa is not None:
        def arrow_write():
            table = pa.table({"s": pa.array(col, type=pa.string())})
            with pa.OSFile(arrow, "wb") as sink, pa.ipc.new_file(sink, table.schema) as w:
                w.write_table(table)

        def arrow_read():
            with pa.OSFile(arrow, "rb") as source:
                table = pa.ipc.open_file(source).read_all()
            return table.column("s").to_numpy(zero_copy_only=False)

        contenders += [timed(arrow_write), timed(arrow_read)]
    times = race(contenders, repeat)
    t_save, t_load, t_both, t_bulk, t_fw, t_fr = times[:6]
    assert load().tolist() == col.tolist() and floor_read() == col.tolist()

    rows = [
        dict(operation=f"strings save+load, {label}", n=n, vorlane_s=t_both,
             peer="bulk_serialize+bulk_deserialize", peer_s=t_bulk,
             goal=">= 20x faster" if label.startswith("1e6") else "-",
             met=t_bulk / t_both >= 20 if label.startswith("1e6") else None),
        within(f"strings save, {label}", n, t_save, "join(s.encode()) + one write", t_fw, 1.5),
        within(f"strings load, {label}", n, t_load, "one read + decode per slice", t_fr, 1.5),
    ]
    if pa is not None:
        t_aw, t_ar = times[6:]
        assert arrow_read().tolist() == col.tolist()
        rows += [within(f"strings save, {label}", n, t_save, "pyarrow IPC file write", t_aw, 1.5),
                 within(f"strings load, {label}", n, t_load, "pyarrow IPC read + to_numpy", t_ar, 1.5)]
    else:
        rows.append(dict(operation=f"strings, {label}", n=n, vorlane_s=t_save,
                         peer="pyarrow (not installed)", peer_s=None, goal="-", met=None))
    return rows


def rows():
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="vorlane-bench-io-"))
    try:
        out = column_rows("1e6 short", short_strings(SHORT_N), workdir, repeat=5)
        out += column_rows("1e4 of 1-100 KB", long_strings(LONG_N), workdir, repeat=3)
        return out
    finally:
        shutil.rmtree(workdir)
