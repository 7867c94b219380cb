"""The string column functions against what a user would write instead (Python
loops over the array, a buffered writer and reader) and, for the stream,
against the system-call floor: bench/syscall_floor.c making the same write and
read calls on the same sizes with nothing around them."""
import os
import pathlib
import shutil
import subprocess
import tempfile
import time

import numpy as np

from vorlane._Quodex import (bulk_deserialize_strings, bulk_serialize_strings, npbytes2npstr,
                             npstr2npbytes)

N = 10**6
REPEAT = 7
ROOT = pathlib.Path(__file__).resolve().parent.parent
FLOOR = ROOT / "build" / "bench" / "syscall_floor"


def short_strings(n):
    """ASCII strings of 0 to 16 characters, lengths drawn with a fixed seed."""
    lengths = np.random.default_rng(42).integers(0, 17, n)
    text = "abcdefghijklmnopqrstuvwxyz0123456789" * 2
    arr = np.empty(n, dtype=object)
    arr[:] = [text[i % 36:i % 36 + k] for i, k in enumerate(lengths.tolist())]
    return arr


def race(contenders, repeat=REPEAT):
    """Runs the contenders in turn, `repeat` rounds, so that all of them see
    the same machine; returns the best time of each. A contender is a
    function returning its own elapsed seconds."""
    best = [float("inf")] * len(contenders)
    for _ in range(repeat):
        for k, run in enumerate(contenders):
            best[k] = min(best[k], run())
    return best


def timed(fn):
    def run():
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    return run


def floor_binary():
    if not FLOOR.exists():
        FLOOR.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", str(FLOOR),
                        str(ROOT / "bench" / "syscall_floor.c")], check=True)
    return str(FLOOR)


def on_fd(path, flags, fn):
    """Times fn(fd) on a freshly opened descriptor (opening not counted)."""
    def run():
        fd = os.open(path, flags, 0o600)
        try:
            t0 = time.perf_counter()
            fn(fd)
            return time.perf_counter() - t0
        finally:
            os.close(fd)
    return run


def conversion_rows(strings):
    data = np.empty(N, dtype=object)
    npstr2npbytes(strings, data)
    out = np.empty(N, dtype=object)

    def py_decode():
        out[:] = [b.decode() for b in data]

    def py_encode():
        out[:] = [s.encode() for s in strings]

    t_dec, t_py_dec = race([timed(lambda: npbytes2npstr(data, out)), timed(py_decode)])
    t_enc, t_py_enc = race([timed(lambda: npstr2npbytes(strings, out)), timed(py_encode)])
    return [
        dict(operation="npbytes2npstr, 1e6 short", n=N, vorlane_s=t_dec,
             peer="[b.decode() for b in arr]", peer_s=t_py_dec, goal=">= 3x faster",
             met=t_py_dec / t_dec >= 3),
        dict(operation="npstr2npbytes, 1e6 short", n=N, vorlane_s=t_enc,
             peer="[s.encode() for s in arr]", peer_s=t_py_enc, goal=">= 3x faster",
             met=t_py_enc / t_enc >= 3),
    ]


def stream_rows(strings, workdir):
    floor = floor_binary()
    target = str(workdir / "target")
    ends = np.zeros(N, dtype=np.int64)
    wflags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC

    # The reference stream and its sizes, for the floor and the readers.
    source = str(workdir / "source")
    fd = os.open(source, wflags, 0o600)
    bulk_serialize_strings(strings, ends, fd)
    os.close(fd)
    lengths_path = str(workdir / "lengths")
    np.diff(ends, prepend=0).astype(np.int64).tofile(lengths_path)

    def py_write(fd):
        offset = 0
        write, encode = os.write, str.encode
        for i, s in enumerate(strings):
            b = encode(s)
            write(fd, b)
            offset += len(b)
            ends[i] = offset

    def buffered_write(fd):
        os.write(fd, "".join(strings).encode())

    def floor_write():
        out = subprocess.run([floor, "write", lengths_path, source, target], check=True,
                             capture_output=True, text=True)
        return float(out.stdout)

    t_w, t_py_w, t_buf_w, t_floor_w = race([
        on_fd(target, wflags, lambda fd: bulk_serialize_strings(strings, ends, fd)),
        on_fd(target, wflags, py_write),
        on_fd(target, wflags, buffered_write),
        floor_write,
    ])

    out = np.empty(N, dtype=object)

    def py_read(fd):
        prev = 0
        read = os.read
        for i, nxt in enumerate(ends.tolist()):
            k = nxt - prev
            out[i] = read(fd, k).decode() if k > 0 else ""
            prev = nxt

    def buffered_read(fd):
        blob = os.read(fd, int(ends[-1]))
        prev = 0
        for i, nxt in enumerate(ends.tolist()):
            out[i] = blob[prev:nxt].decode()
            prev = nxt

    def floor_read():
        res = subprocess.run([floor, "read", lengths_path, source], check=True,
                             capture_output=True, text=True)
        return float(res.stdout)

    t_r, t_py_r, t_buf_r, t_floor_r = race([
        on_fd(source, os.O_RDONLY, lambda fd: bulk_deserialize_strings(out, ends, fd)),
        on_fd(source, os.O_RDONLY, py_read),
        on_fd(source, os.O_RDONLY, buffered_read),
        floor_read,
    ])
    assert list(out[:5]) == list(strings[:5])

    w = "bulk_serialize_strings, 1e6 short, file"
    r = "bulk_deserialize_strings, 1e6 short, file"
    return [
        dict(operation=w, n=N, vorlane_s=t_w, peer="C write loop (floor)", peer_s=t_floor_w,
             goal="<= 1.2x floor", met=t_w / t_floor_w <= 1.2),
        dict(operation=w, n=N, vorlane_s=t_w, peer="python os.write loop", peer_s=t_py_w,
             goal="-", met=None),
        dict(operation=w, n=N, vorlane_s=t_w, peer="join + one os.write", peer_s=t_buf_w,
             goal="-", met=None),
        dict(operation=r, n=N, vorlane_s=t_r, peer="C read loop (floor)", peer_s=t_floor_r,
             goal="<= 1.2x floor", met=t_r / t_floor_r <= 1.2),
        dict(operation=r, n=N, vorlane_s=t_r, peer="python os.read loop", peer_s=t_py_r,
             goal="-", met=None),
        dict(operation=r, n=N, vorlane_s=t_r, peer="one os.read + slices", peer_s=t_buf_r,
             goal="-", met=None),
    ]


def rows():
    strings = short_strings(N)
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="vorlane-bench-"))
    try:
        return conversion_rows(strings) + stream_rows(strings, workdir)
    finally:
        shutil.rmtree(workdir)
