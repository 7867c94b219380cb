"""String columns to files and back, at the speed of the disk.

``save(file, column)`` writes a column of ``str`` to a self-describing file and
``load(file)`` reads it back as a NumPy object array. ``write_column`` and
``read_column`` move the bare stream of ``vorlane._Quodex``'s
``bulk_serialize_strings``/``bulk_deserialize_strings`` (byte for byte the same),
leaving the end offsets to the caller.

``file`` is any of:

* a path (``str`` or ``os.PathLike``). ``save`` writes a temporary file in the
  same directory and renames it into place, so a failed save leaves the old
  file (or none) and never a half-written one;
* a binary file object: a file from ``open(..., 'rb'/'wb')``, buffered or not,
  ``io.BytesIO``, or anything with ``write``/``read``. Bytes go where the
  file's position says: buffered data is flushed first, a file with a
  descriptor is written through the descriptor and left positioned after the
  column;
* a file descriptor (an ``int``, or an object with ``__index__``), used at its
  current position and left just after the column. It is never closed.

The column file format (version 1; all integers little-endian)::

    offset  size      field
    0       8         magic b"VLSTRCOL"
    8       4         format version, uint32 (1)
    12      4         reserved, uint32, zero
    16      8         count: number of strings, int64
    24      8         total: number of string bytes, int64
    32      8*count   end offsets, int64: end of string i, counted from the
                      first string byte (non-decreasing, the last == total)
    32+8*count total  the UTF-8 bytes of the strings, back to back

The part after the header is exactly what ``bulk_serialize_strings`` writes
(its end-offset array, then its stream). Readers read exactly the column's
bytes and nothing after it, and check the header before trusting it: a wrong
magic, version, impossible sizes, offsets that decrease or go beyond the data,
or a file that ends early raise ``ValueError`` saying which.

Writing checks the whole column first (every element a ``str`` that UTF-8 can
encode), so a bad element raises before any byte is written. The transfers run
in large blocks with the interpreter lock released, continue partial transfers,
and retry those that a signal interrupts once its Python handler has run (a
handler that raises ends the call with its exception).
"""
import errno
import io
import operator
import os

import numpy as np

from vorlane import _Strings

__all__ = ["save", "load", "write_column", "read_column"]


def _descriptor(file):
    """The descriptor an int-like `file` stands for, or None."""
    if isinstance(file, bool):
        raise TypeError("file must be a path, a binary file object or a file descriptor, not bool")
    if isinstance(file, (str, bytes, os.PathLike)) or hasattr(file, "read") or hasattr(file, "write"):
        return None
    try:
        fd = operator.index(file)
    except TypeError:
        raise TypeError(
            "file must be a path, a binary file object or a file descriptor, not "
            f"{type(file).__name__}") from None
    if fd < 0:
        raise ValueError(f"file descriptor cannot be negative: {fd}")
    return fd


def _refuse_text(file):
    if isinstance(file, io.TextIOBase):
        raise TypeError("a binary file is required, not a text file (open it with 'rb' or 'wb')")


def _own_fd(file):
    """The descriptor behind a file object that reads and writes through one
    at its own position (a file from open()), or None."""
    if isinstance(file, io.BytesIO) or not isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        return None
    try:
        return file.fileno()
    except (OSError, ValueError, AttributeError):
        return None


def _column_items(column):
    """The column as the native writer takes it: an object array as it is
    (the writer snapshots its elements), anything else as a list."""
    if isinstance(column, np.ndarray):
        if column.ndim != 1:
            raise ValueError(f"column must be one-dimensional, not {column.ndim}-dimensional")
        return column if column.dtype == object else column.tolist()
    if isinstance(column, (str, bytes)):
        raise TypeError(f"column must be a sequence of str, not a single {type(column).__name__}")
    return list(column)


def _write(file, column, header):
    """Writes the column to `file`; returns the int64 end offsets."""
    items = _column_items(column)
    fd = _descriptor(file)
    if fd is not None:
        return _Strings.write_stream(items, fd, header)
    if isinstance(file, (str, bytes, os.PathLike)):
        return _write_path(file, items, header)
    _refuse_text(file)
    fd = _own_fd(file)
    if fd is None:
        write = getattr(file, "write", None)
        if write is None:
            raise TypeError(f"file object {type(file).__name__} has no write method")
        return _Strings.write_stream(items, write, header)
    # Buffered bytes first, so that ours land after them at the file's
    # position; a buffered file that has read ahead has its descriptor past
    # that position, so the descriptor is put there.
    file.flush()
    seekable = file.seekable()
    if seekable:
        os.lseek(fd, file.tell(), os.SEEK_SET)
    ends = _Strings.write_stream(items, fd, header)
    if seekable and isinstance(file, io.BufferedIOBase):
        # The descriptor moved behind the buffered file's back: tell it.
        file.seek(os.lseek(fd, 0, os.SEEK_CUR))
    return ends


def _write_path(path, items, header):
    path = os.fspath(path)
    directory, name = os.path.split(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
        directory = os.fsdecode(directory)
    if not name or os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "cannot save a column over a directory", path)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for attempt in range(100):
        tmp = os.path.join(directory, f".{name}.{os.getpid()}.{attempt}.tmp")
        try:
            fd = os.open(tmp, flags, 0o666)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(f"no free temporary name beside {path!r}")
    try:
        try:
            ends = _Strings.write_stream(items, fd, header)
        finally:
            os.close(fd)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return ends


def _size_left(fd):
    """Bytes between a descriptor's position and the end of its file, or -1
    when that is not known (a pipe, a socket, a device)."""
    try:
        st = os.fstat(fd)
        if not (st.st_mode & 0o170000 == 0o100000):  # a regular file
            return -1
        return max(st.st_size - os.lseek(fd, 0, os.SEEK_CUR), 0)
    except OSError:
        return -1


def _read(file, ends):
    """Reads a column (header and offsets from `file` when `ends` is None)."""
    fd = _descriptor(file)
    if fd is not None:
        return _Strings.read_stream(fd, ends, _size_left(fd), _new_column)
    if isinstance(file, (str, bytes, os.PathLike)):
        fd = os.open(file, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            return _Strings.read_stream(fd, ends, _size_left(fd), _new_column)
        finally:
            os.close(fd)
    _refuse_text(file)
    if isinstance(file, io.RawIOBase) and _own_fd(file) is not None:
        fd = file.fileno()
        return _Strings.read_stream(fd, ends, _size_left(fd), _new_column)
    read = getattr(file, "read", None)
    if read is None:
        raise TypeError(f"file object {type(file).__name__} has no read method")
    # A buffered file may hold read-ahead bytes, so it is read through its own
    # read(); its size is known when it is a regular file or a BytesIO.
    limit = -1
    if isinstance(file, io.BytesIO):
        with file.getbuffer() as view:
            limit = max(view.nbytes - file.tell(), 0)
    else:
        fd = _own_fd(file)
        if fd is not None and file.seekable():
            try:
                st = os.fstat(fd)
                if st.st_mode & 0o170000 == 0o100000:
                    limit = max(st.st_size - file.tell(), 0)
            except OSError:
                pass
    return _Strings.read_stream(read, ends, limit, _new_column)


def _new_column(n):
    return np.empty(n, dtype=object)


def _check_ends(ends):
    """The end offsets as contiguous native int64 (their order and signs are
    checked by the reader)."""
    arr = np.asarray(ends)
    if arr.ndim != 1:
        raise ValueError(f"ends must be one-dimensional, not {arr.ndim}-dimensional")
    if arr.dtype.kind not in "iu" and not (arr.size == 0 and arr.dtype.kind == "f"):
        raise TypeError(f"ends must hold integers, not {arr.dtype}")
    if arr.dtype.kind == "u" and arr.size and int(arr.max()) > np.iinfo(np.int64).max:
        raise ValueError("ends hold an offset beyond the int64 range")
    return np.ascontiguousarray(arr, dtype=np.int64)


def save(file, column):
    """Writes `column` (a sequence of str, such as a 1-D object array) to
    `file` as a self-describing column file; see the module docstring."""
    _write(file, column, True)


def load(file):
    """Reads a column file written by `save`; returns a 1-D object array of str."""
    return _read(file, None)


def write_column(file, column):
    """Writes the bare UTF-8 stream of `column` to `file`, exactly as
    ``bulk_serialize_strings`` does, and returns its int64 end offsets."""
    return np.frombuffer(_write(file, column, False), dtype=np.int64)


def read_column(file, ends):
    """Reads the bare stream of ``len(ends)`` strings whose end offsets are
    `ends` (as ``write_column`` or ``bulk_serialize_strings`` gave them) from
    `file`; returns a 1-D object array of str. Reads exactly ``ends[-1]`` bytes."""
    return _read(file, _check_ends(ends))
