"""vorlane.strings: string columns through real files, pipes and file
objects, against the bulk stream of vorlane._Quodex, and every way a file can
be wrong. Cases that could hang or crash run in child processes."""
import io
import json
import os
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vorlane import strings
from vorlane._Quodex import bulk_deserialize_strings, bulk_serialize_strings

MAGIC = b"VLSTRCOL"


def raises_exact(exc, text):
    return pytest.raises(exc, match="^" + re.escape(text) + "$")


def column(*items):
    a = np.empty(len(items), dtype=object)
    a[:] = list(items)
    return a


# Empty, NUL, two-, three- and four-byte characters, and strings on both sides
# of the writer's block size (1 MiB) and its half (direct writes).
MIXED = column("ab", "", "é", "a\x00b", "日本語", "\U0001f600", "x" * (1 << 19),
               "y" * ((1 << 19) - 1), "é" * (1 << 20), "z" * ((1 << 20) + 3), "end")


def header(count, total, version=1, reserved=0, magic=MAGIC):
    return magic + struct.pack("<IIqq", version, reserved, count, total)


def column_file(col):
    """The column file of `col`, built here from its definition."""
    data = [s.encode() for s in col]
    ends = np.cumsum([len(d) for d in data], dtype=np.int64) if data else np.zeros(0, np.int64)
    return header(len(data), int(ends[-1]) if len(data) else 0) + ends.astype("<i8").tobytes() \
        + b"".join(data)


def run_child(code, timeout=60):
    """Runs `code` in a fresh interpreter; returns its stdout. A hang or a
    crash fails the test instead of taking the suite down."""
    # Away from the work tree, whose vorlane/ has no built modules.
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, cwd=os.path.dirname(sys.executable))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def tmpfile(tmp_path):
    return tmp_path / "col.vls"


# --------------------------------------------------------------------------
# Round trips and the format


def test_file_bytes_follow_the_documented_layout_and_the_bulk_stream(tmpfile):
    col = column("ab", "", "é")
    strings.save(tmpfile, col)
    data = tmpfile.read_bytes()
    assert data == header(3, 4) + struct.pack("<3q", 2, 2, 4) + b"ab\xc3\xa9"
    # The part after the header is what bulk_serialize_strings gives.
    offsets = np.zeros(3, np.int64)
    with open(tmpfile, "wb") as f:
        bulk_serialize_strings(col, offsets, f.fileno())
    assert data[32:] == offsets.tobytes() + tmpfile.read_bytes()


@pytest.mark.parametrize("col", [MIXED, column(), column("", ""), MIXED[::-3], list(MIXED),
                                 np.array(["plain", "unicode dtype"]),
                                 column("", "a", "\x00", "a\x00b", "\x7f" * 9, "z" * 100)],
                         ids=["mixed", "empty", "empty-strings", "strided", "list", "U-dtype",
                              "ascii"])
def test_round_trip_through_a_path(tmpfile, col):
    strings.save(str(tmpfile), col)
    assert tmpfile.read_bytes() == column_file(col)
    back = strings.load(tmpfile)
    assert back.dtype == object and back.shape == (len(col),)
    assert back.tolist() == list(col)
    assert all(type(s) is str for s in back)


def open_kinds(path):
    """Writers and readers of every supported kind, on one file."""
    return {
        "fd": (lambda: os.open(path, os.O_RDWR | os.O_CREAT), os.close),
        "raw": (lambda: open(path, "r+b", buffering=0), lambda f: f.close()),
        "buffered": (lambda: open(path, "r+b"), lambda f: f.close()),
    }


@pytest.mark.parametrize("kind", ["fd", "raw", "buffered"])
def test_bytes_land_at_the_file_position_between_the_callers_own(tmpfile, kind):
    tmpfile.write_bytes(b"")
    opener, closer = open_kinds(tmpfile)[kind]
    f = opener()
    put = (lambda b: os.write(f, b)) if kind == "fd" else f.write
    try:
        put(b"HEADER")
        strings.save(f, MIXED)
        put(b"MIDDLE")
        ends = strings.write_column(f, MIXED[:4])
        put(b"TAIL")
    finally:
        closer(f)
    stream = b"".join(s.encode() for s in MIXED[:4])
    assert tmpfile.read_bytes() == b"HEADER" + column_file(MIXED) + b"MIDDLE" + stream + b"TAIL"
    assert ends.tolist() == np.cumsum([len(s.encode()) for s in MIXED[:4]]).tolist()

    f = opener()
    get = (lambda n: os.read(f, n)) if kind == "fd" else f.read
    try:
        assert get(6) == b"HEADER"
        assert strings.load(f).tolist() == MIXED.tolist()
        # Nothing past the column was consumed.
        assert get(6) == b"MIDDLE"
        assert strings.read_column(f, ends).tolist() == MIXED[:4].tolist()
        assert get(100) == b"TAIL"
    finally:
        closer(f)


def test_a_file_that_has_read_ahead_is_written_at_its_position(tmpfile):
    tmpfile.write_bytes(b"0123456789")
    with open(tmpfile, "r+b") as f:
        assert f.read(3) == b"012"
        strings.save(f, ["x"])
        f.write(b"T")
    assert tmpfile.read_bytes() == b"012" + column_file(["x"]) + b"T"


def test_bytesio_and_plain_objects_with_write_and_read():
    buf = io.BytesIO()
    buf.write(b"<")
    strings.save(buf, MIXED)
    ends = strings.write_column(buf, MIXED[:3])
    buf.write(b">")
    expected = b"<" + column_file(MIXED) + b"".join(s.encode() for s in MIXED[:3]) + b">"
    assert buf.getvalue() == expected
    buf.seek(1)
    assert strings.load(buf).tolist() == MIXED.tolist()
    assert strings.read_column(buf, ends).tolist() == MIXED[:3].tolist()
    assert buf.read() == b">"

    class Sink:
        """Takes at most 1000 bytes per call, as a raw file may."""
        def __init__(self):
            self.parts = []

        def write(self, b):
            b = bytes(b[:1000])
            self.parts.append(b)
            return len(b)

    sink = Sink()
    strings.save(sink, MIXED[:6])
    assert b"".join(sink.parts) == column_file(MIXED[:6])


def test_descriptors_given_through_index():
    class Fd:
        def __init__(self, fd):
            self.fd = fd

        def __index__(self):
            return self.fd

    r, w = os.pipe()
    try:
        strings.save(Fd(w), column("a", "bc"))
        strings.save(np.int32(w), column("d"))
        os.close(w)
        assert strings.load(Fd(r)).tolist() == ["a", "bc"]
        assert strings.load(np.int64(r)).tolist() == ["d"]
    finally:
        os.close(r)


def test_interoperates_with_the_bulk_stream_both_ways(tmp_path):
    path = tmp_path / "stream"
    with open(path, "wb") as f:
        ends = strings.write_column(f, MIXED)
    with open(path, "rb") as f:
        back = np.empty(len(MIXED), dtype=object)
        bulk_deserialize_strings(back, ends, f.fileno())
    assert back.tolist() == MIXED.tolist()

    offsets = np.zeros(len(MIXED), np.int64)
    with open(path, "wb") as f:
        bulk_serialize_strings(MIXED, offsets, f.fileno())
    assert offsets.tolist() == ends.tolist()
    with open(path, "rb") as f:
        assert strings.read_column(f, offsets).tolist() == MIXED.tolist()
    # Offsets given as a list, a narrower or unsigned integer type, a strided view.
    with open(path, "rb") as f:
        assert strings.read_column(f, offsets[:3].astype(np.uint32).tolist()).tolist() \
            == MIXED[:3].tolist()
    assert strings.read_column(io.BytesIO(b"abcd"), np.array([1, 9, 2, 9, 4])[::2]).tolist() \
        == ["a", "b", "cd"]


# --------------------------------------------------------------------------
# Writing: nothing half-made


@pytest.mark.parametrize("bad, exc, text", [
    (column("a", "b", 3), TypeError, "element 2 of the column is not a str but int"),
    (column("a", None), TypeError, "element 1 of the column is not a str but NoneType"),
    (column(b"a"), TypeError, "element 0 of the column is not a str but bytes"),
    (column("a", "\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed "
     "in element 1 of the column"),
])
def test_a_bad_element_fails_before_any_byte_is_written(tmp_path, bad, exc, text):
    ctx = raises_exact(exc, text)
    # A path keeps its old content and gets no leftover temporary file.
    path = tmp_path / "keep.vls"
    path.write_bytes(b"old")
    with ctx:
        strings.save(path, bad)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["keep.vls"]
    # A descriptor and file objects get nothing at all.
    r, w = os.pipe()
    try:
        with pytest.raises(exc):
            strings.write_column(w, bad)
        os.set_blocking(r, False)
        with pytest.raises(BlockingIOError):
            os.read(r, 1)
    finally:
        os.close(r)
        os.close(w)
    buf = io.BytesIO()
    with pytest.raises(exc):
        strings.save(buf, bad)
    assert buf.getvalue() == b""


def test_a_directory_is_not_replaced(tmp_path):
    for path in (tmp_path, str(tmp_path) + os.sep):
        with pytest.raises(IsADirectoryError):
            strings.save(path, ["a"])
    assert tmp_path.is_dir() and os.listdir(tmp_path) == []


def test_a_path_write_failing_midway_leaves_the_old_file_and_no_temporary(tmp_path):
    # The file-size limit makes the write fail with EFBIG after the first bytes.
    out = run_child(f"""
        import os, resource, signal
        from vorlane import strings
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        path = {str(tmp_path / "keep.vls")!r}
        with open(path, "wb") as f:
            f.write(b"old")
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))
        try:
            strings.save(path, ["x" * 1000] * 1000)
        except OSError as e:
            print(e.errno == __import__("errno").EFBIG)
        print(open(path, "rb").read(), sorted(os.listdir({str(tmp_path)!r})))
    """)
    assert out.split("\n")[:2] == ["True", "b'old' ['keep.vls']"]


@pytest.mark.parametrize("file, exc, text", [
    (True, TypeError, "file must be a path, a binary file object or a file descriptor, not bool"),
    (1.5, TypeError, "file must be a path, a binary file object or a file descriptor, not float"),
    (None, TypeError, "file must be a path, a binary file object or a file descriptor, "
                      "not NoneType"),
    (-1, ValueError, "file descriptor cannot be negative: -1"),
    (io.StringIO(), TypeError, "a binary file is required, not a text file "
                               "(open it with 'rb' or 'wb')"),
])
def test_file_arguments_that_are_refused(file, exc, text):
    with raises_exact(exc, text):
        strings.save(file, ["a"])
    with raises_exact(exc, text):
        strings.load(file)


def test_column_and_ends_arguments_that_are_refused():
    with raises_exact(ValueError, "column must be one-dimensional, not 2-dimensional"):
        strings.save(io.BytesIO(), np.array([["a"]], dtype=object))
    with raises_exact(TypeError, "column must be a sequence of str, not a single str"):
        strings.save(io.BytesIO(), "abc")
    with raises_exact(ValueError, "ends must be one-dimensional, not 0-dimensional"):
        strings.read_column(io.BytesIO(b"ab"), 2)
    with raises_exact(TypeError, "ends must hold integers, not float64"):
        strings.read_column(io.BytesIO(b"ab"), [2.0])
    with raises_exact(ValueError, "ends hold an offset beyond the int64 range"):
        strings.read_column(io.BytesIO(b"ab"), np.array([2**63], dtype=np.uint64))
    with raises_exact(ValueError, "end offset 0 is negative (-1)"):
        strings.read_column(io.BytesIO(b"ab"), [-1, 2])
    with raises_exact(ValueError, "end offsets are not non-decreasing: element 2 ends at 1, "
                                  "before element 1 (3)"):
        strings.read_column(io.BytesIO(b"abcd"), [1, 3, 1, 4])


# --------------------------------------------------------------------------
# Reading: truncated, corrupt and foreign files


GOOD = column_file(column("ab", "", "é"))


@pytest.mark.parametrize("data, text", [
    (b"", "not a string column file: it is empty"),
    (b"PK\x03\x04" + b"\x00" * 40, "not a string column file: bad magic"),
    (b"VLST", "truncated header: 4 of 32 bytes"),
    (GOOD[:20], "truncated header: 20 of 32 bytes"),
    (header(0, 0, version=2), "unsupported string column format version 2 (this is 1)"),
    (header(0, 0, reserved=1), "corrupt header: reserved field is not zero"),
    (header(-1, 0), "corrupt header: impossible count -1 or byte total 0"),
    (header(2**61, 2**62), f"corrupt header: impossible count {2**61} or byte total {2**62}"),
    (header(2**40, 0), f"short data: the header announces {2**40} strings of 0 bytes "
                       f"({2**43} bytes with their offsets), only 0 follow"),
    (GOOD[:-1], "short data: the header announces 3 strings of 4 bytes "
                "(28 bytes with their offsets), only 27 follow"),
    (header(3, 4) + struct.pack("<3q", 2, 1, 4) + b"ab\xc3\xa9",
     "end offsets are not non-decreasing: element 1 ends at 1, before element 0 (2)"),
    (header(2, 4) + struct.pack("<2q", -2, 4) + b"ab\xc3\xa9", "end offset 0 is negative (-2)"),
    (header(2, 3) + struct.pack("<2q", 2, 4) + b"ab\xc3\xa9",
     "end offsets go beyond the data: the last is 4, the byte total 3"),
    (header(2, 4) + struct.pack("<2q", 2, 3) + b"ab\xc3\xa9",
     "corrupt header: the last end offset is 3, the byte total 4"),
])
def test_bad_files_are_a_valueerror_saying_what_is_wrong(tmpfile, data, text):
    tmpfile.write_bytes(data)
    # Regular files (whose size is known up front) and pipes (where it is
    # not) must both find the fault.
    with raises_exact(ValueError, text):
        strings.load(tmpfile)
    with raises_exact(ValueError, text):
        strings.load(io.BytesIO(data))


def read_from_pipe(data, reader):
    """Runs `reader` on the read end of a pipe that holds `data` and whose
    writer has finished: the size of what it reads cannot be known up front."""
    assert len(data) <= 65536, "more than a pipe holds"
    r, w = os.pipe()
    try:
        os.write(w, data)
        os.close(w)
        return reader(r)
    finally:
        os.close(r)


@pytest.mark.parametrize("data, text", [
    (GOOD[:-1], "short data: expected 4 bytes of string data, only 3 follow"),
    (GOOD[:50], "short data: expected 24 bytes of end offsets, only 18 follow"),
    # A lying count on a pipe costs the bytes that arrive, not 8 TiB.
    (header(2**40, 0) + b"\x00" * 64, f"short data: expected {2**43} bytes of end offsets, "
                                      f"only 64 follow"),
    (header(1, 2**50) + struct.pack("<q", 2**50) + b"abc",
     f"short data: expected {2**50} bytes of string data, only 3 follow"),
])
def test_short_data_on_a_pipe(data, text):
    with raises_exact(ValueError, text):
        read_from_pipe(data, strings.load)


def test_short_bare_stream_from_a_regular_file_and_a_pipe(tmpfile):
    tmpfile.write_bytes(b"abc")
    with raises_exact(ValueError, "short data: expected 4 bytes of string data, only 3 follow"):
        strings.read_column(tmpfile, [2, 4])
    with raises_exact(ValueError, "short data: expected 4 bytes of string data, only 3 follow"):
        read_from_pipe(b"abc", lambda r: strings.read_column(r, [2, 4]))


def test_invalid_utf8_names_the_element(tmpfile):
    data = header(3, 7) + struct.pack("<3q", 2, 6, 7) + b"ok" + b"a\xc3(b" + b"c"
    tmpfile.write_bytes(data)
    with pytest.raises(UnicodeDecodeError) as info:
        strings.load(tmpfile)
    e = info.value
    assert str(e) == ("'utf-8' codec can't decode byte 0xc3 in position 1: invalid "
                      "continuation byte in element 1 of the column")
    assert (e.encoding, e.object, e.start, e.end) == ("utf-8", b"a\xc3(b", 1, 2)
    with pytest.raises(UnicodeDecodeError, match=r" in element 0 of the column$"):
        strings.read_column(io.BytesIO(b"\xff"), [1])


def test_nothing_past_the_column_is_read_from_a_pipe_or_a_file(tmpfile):
    col = column("alpha", "", "ω" * 3000)
    data = column_file(col)

    def load_then_rest(r):
        back = strings.load(r)
        return back.tolist(), os.read(r, 100)
    assert read_from_pipe(data + b"TRAILER", load_then_rest) == (col.tolist(), b"TRAILER")
    stream = data[32 + 24:]
    ends = np.frombuffer(data[32:32 + 24], "<i8")

    def read_then_rest(r):
        return strings.read_column(r, ends).tolist(), os.read(r, 100)
    assert read_from_pipe(stream + b"MORE", read_then_rest) == (col.tolist(), b"MORE")
    # A buffered reader reads ahead: the column must still end where it ends.
    tmpfile.write_bytes(data + b"TRAILER")
    with open(tmpfile, "rb") as f:
        assert strings.load(f).tolist() == col.tolist()
        assert f.read() == b"TRAILER"


# --------------------------------------------------------------------------
# Slow peers, signals and threads


# In child processes: with the lock held through a blocking transfer, the
# peer thread could never run and these would hang.
def test_a_writer_slower_than_the_reader(tmp_path):
    col = column(*[f"s{i}" * (i % 7) for i in range(20000)], "é" * 100000)
    (tmp_path / "file").write_bytes(column_file(col))
    (tmp_path / "expected.json").write_text(json.dumps(col.tolist()))
    out = run_child(f"""
        import json, os, threading, time
        from vorlane import strings
        data = open({str(tmp_path / "file")!r}, "rb").read()
        r, w = os.pipe()
        def trickle():
            for k in range(0, len(data), 7919):
                os.write(w, data[k:k + 7919])
                time.sleep(0.0005)
            os.close(w)
        t = threading.Thread(target=trickle)
        t.start()
        back = strings.load(r)
        t.join()
        print(back.tolist() == json.load(open({str(tmp_path / "expected.json")!r})))
    """)
    assert out == "True\n"


def test_a_reader_slower_than_the_writer_and_a_column_changed_meanwhile(tmp_path):
    # The pipe holds 64 KiB: save blocks until the reader drains it, with the
    # lock released, while another thread rewrites the caller's column.
    got = tmp_path / "got"
    run_child(f"""
        import os, threading, time
        import numpy as np
        from vorlane import strings
        col = np.array([f"item-{{i}}" for i in range(200000)], dtype=object)
        r, w = os.pipe()
        got = []
        def drain():
            while True:
                b = os.read(r, 4096)
                if not b:
                    break
                got.append(b)
                col[len(got) % len(col)] = "CHANGED"
                time.sleep(0.0001)
        t = threading.Thread(target=drain)
        t.start()
        strings.save(w, col)
        os.close(w)
        t.join()
        open({str(got)!r}, "wb").write(b"".join(got))
    """)
    assert got.read_bytes() == column_file([f"item-{i}" for i in range(200000)])


SIGNAL_CHILD = """
    import os, signal, threading, time
    from vorlane import strings
    calls = []
    def handler(signum, frame):
        calls.append(signum)
        if RAISE:
            raise InterruptedError("handler says stop")
    signal.signal(signal.SIGUSR1, handler)
    main = threading.get_ident()
    r, w = os.pipe()

    def poke(then):
        for _ in range(POKES):
            time.sleep(0.1)
            signal.pthread_kill(main, signal.SIGUSR1)
        then()
"""


def test_read_interrupted_by_a_signal_is_retried():
    out = run_child(SIGNAL_CHILD.replace("RAISE", "False").replace("POKES", "3") + """
    def feed():
        strings.save(w, ["after", "the", "signals"])
        os.close(w)
    t = threading.Thread(target=poke, args=(feed,))
    t.start()
    print(strings.load(r).tolist(), len(calls))
    t.join()
    """)
    assert out == "['after', 'the', 'signals'] 3\n"


def test_write_interrupted_by_a_signal_is_retried():
    out = run_child(SIGNAL_CHILD.replace("RAISE", "False").replace("POKES", "3") + """
    got = []
    def drain():
        while True:
            b = os.read(r, 1 << 16)
            if not b:
                return
            got.append(b)
    t = threading.Thread(target=poke, args=(drain,))
    t.start()
    col = ["x" * 1000] * 1000   # more than the pipe holds: the write blocks
    ends = strings.write_column(w, col)
    os.close(w)
    t.join()
    print(b"".join(got) == b"x" * 1000000, ends[-1], len(calls))
    """)
    assert out == "True 1000000 3\n"


@pytest.mark.parametrize("call", ["strings.load(r)", "strings.read_column(r, [5])",
                                  "strings.save(w, ['x' * 1000000])"])
def test_a_raising_signal_handler_ends_a_blocked_transfer(call):
    # Nobody writes to (or reads from) the pipe: only the handler can end the call.
    out = run_child(SIGNAL_CHILD.replace("RAISE", "True").replace("POKES", "1") + f"""
    t = threading.Thread(target=poke, args=(lambda: None,))
    t.start()
    try:
        {call}
    except InterruptedError as e:
        print("raised:", e, len(calls))
    t.join()
    """)
    assert out == "raised: handler says stop 1\n"


def test_hostile_file_objects_get_errors_not_crashes():
    out = run_child("""
        import io, gc
        from vorlane import strings
        kept = []
        class Keeper:
            def write(self, b):
                kept.append(b)      # keeps what it is given
                return len(b)
        strings.save(Keeper(), ["a" * 100, "b"])
        gc.collect()
        print(b"".join(kept)[32 + 16:])

        def attempt(obj, call):
            try:
                call(obj)
            except Exception as e:
                print(type(e).__name__ + ":", e)

        class W:
            def __init__(self, result):
                self.result = result
            def write(self, b):
                return self.result
        for result in (None, "3", -1, 10**6, 0):
            attempt(W(result), lambda f: strings.save(f, ["abc"]))

        class R:
            def __init__(self, result):
                self.result = result
            def read(self, n):
                return self.result(n)
        attempt(R(lambda n: b"x" * (n + 1)), lambda f: strings.read_column(f, [2]))
        attempt(R(lambda n: 12), lambda f: strings.read_column(f, [2]))
        attempt(R(lambda n: None), lambda f: strings.read_column(f, [2]))
        attempt(R(lambda n: memoryview(b"ab")[:n]), lambda f: print(strings.read_column(f, [2])))

        # The native half fills only NumPy's object slots, which own their
        # references; it reads any object buffer, ctypes' too.
        import ctypes
        from vorlane import _Strings
        ends = (2).to_bytes(8, "little")
        attempt(lambda n: (ctypes.py_object * n)(),
                lambda f: _Strings.read_stream(io.BytesIO(b"ab").read, ends, -1, f))
        objs = (ctypes.py_object * 2)("py", "obj")
        out = io.BytesIO()
        print(list(_Strings.write_stream(objs, out.write, False)), out.getvalue())
    """)
    assert out.splitlines() == [
        "b'" + "a" * 100 + "b'",
        "BlockingIOError: write() returned None: the file is non-blocking and not ready",
        "TypeError: write() should return an int, not str",
        "ValueError: write() returned -1, outside 0..40",
        "ValueError: write() returned 1000000, outside 0..40",
        "OSError: write() accepted no bytes",
        "ValueError: read() returned 3 bytes, more than the 2 asked for",
        "TypeError: read() should return bytes, not int",
        "BlockingIOError: read() returned None: the file is non-blocking and not ready",
        "['ab']",
        "TypeError: expected a numpy.ndarray to fill, not py_object_Array_1",
        "[2, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0] b'pyobj'",
    ]

