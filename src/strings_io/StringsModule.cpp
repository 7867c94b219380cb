// vorlane._Strings: the native half of vorlane.strings, which moves a column
// of Python strings to and from a file at the speed of the disk.
//
// The stream is the one of vorlane._Quodex's bulk_serialize_strings: the
// UTF-8 bytes of the strings back to back, delimited only by int64 end
// offsets. `write_stream` may put a header and the offsets in front of it
// (the self-describing column file, laid out in vorlane/strings.py), and
// `read_stream` reads either form back.
//
// What it promises
//   * The column is checked whole before the first byte moves: a non-str
//     element or one that UTF-8 cannot encode fails the call with nothing
//     written.
//   * The column's elements are snapshotted first (one reference each) and
//     every buffer the bytes are read from is owned by us or by them, so the
//     interpreter lock can be released around the I/O while other threads
//     rebind or refill the caller's column.
//   * The reader reads exactly the bytes the column holds, never more, checks
//     a header and its offsets before trusting them, and grows its buffers
//     with the bytes that actually arrive when the size of the source is not
//     known, so a corrupt count cannot make it allocate terabytes.
//
// What it leaves behind on failure: an exception; for the writer the bytes
// already written (the Python layer writes paths to a temporary file and
// removes it), for the reader the bytes consumed. Nothing of the caller's is
// changed: results are new objects handed out only on success.
//
// It shares no code that changes vorlane._Quodex's functions; it needs only
// the owning handle of src/.
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "ObjectColumn.hpp"
#include "PythonObj.hpp"
#include "Transfer.hpp"

namespace {

// The self-describing column file's header: magic, format version, reserved
// (zero), string count, byte total; little-endian.
constexpr char kMagic[8] = {'V', 'L', 'S', 'T', 'R', 'C', 'O', 'L'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 32;

// Strings are read and decoded in chunks of about this size.
constexpr int64_t kChunkSize = int64_t{8} << 20;

// Reading from a source of unknown size starts with this much room and
// doubles it only as bytes arrive.
constexpr size_t kFirstReadRoom = size_t{1} << 20;

uint64_t toLittle(uint64_t v) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap64(v);
#else
    return v;
#endif
}
uint32_t toLittle32(uint32_t v) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap32(v);
#else
    return v;
#endif
}

void putLittle64(char* p, int64_t v) noexcept {
    const uint64_t u = toLittle(static_cast<uint64_t>(v));
    std::memcpy(p, &u, 8);
}
int64_t getLittle64(const char* p) noexcept {
    uint64_t u;
    std::memcpy(&u, p, 8);
    return static_cast<int64_t>(toLittle(u));
}

// Raises the pending UnicodeEncodeError or UnicodeDecodeError (`type`) anew,
// its reason naming element `i` and its position kept. The new error reports
// `object` (the string) or, when that is null, the element's bytes `p[0:n]`.
void nameElement(Py_ssize_t i, PyObject* type, PyObject* object, const char* p = nullptr,
                 Py_ssize_t n = 0) noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PythonObj ht = PythonObj::steal(t), hv = PythonObj::steal(v), htb = PythonObj::steal(tb);
    PythonObj start, end, reason;
    if (!hv || !(start = PythonObj::steal(PyObject_GetAttrString(hv.get(), "start"))) ||
        !(end = PythonObj::steal(PyObject_GetAttrString(hv.get(), "end"))) ||
        !(reason = PythonObj::steal(PyObject_GetAttrString(hv.get(), "reason"))) ||
        !PyUnicode_Check(reason.get())) {
        PyErr_Clear();  // keep the codec's own error
        PyErr_Restore(ht.release(), hv.release(), htb.release());
        return;
    }
    PythonObj bytes;
    if (!object) {
        bytes = PythonObj::steal(PyBytes_FromStringAndSize(p, n));
        object = bytes.get();
    }
    PythonObj text = PythonObj::steal(
        PyUnicode_FromFormat("%U in element %zd of the column", reason.get(), i));
    if (!object || !text) {
        return;  // that failure's own exception is set
    }
    PythonObj named = PythonObj::steal(PyObject_CallFunction(
        type, "sOOOO", "utf-8", object, start.get(), end.get(), text.get()));
    if (named) {
        PyErr_SetObject(type, named.get());
    }
}

// The UTF-8 form of `s` without leaving a cached copy in the string: ASCII
// text is its own UTF-8 (lent, no reference taken), anything else is encoded
// into a new bytes object that `encoded` takes.
bool utf8Of(PyObject* s, PythonObj& encoded, const char*& data, size_t& size) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    const bool ready = PyUnicode_IS_READY(s);
#else
    const bool ready = true;
#endif
    if (ready && PyUnicode_IS_ASCII(s)) {
        data = static_cast<const char*>(PyUnicode_DATA(s));
        size = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        return true;
    }
    encoded = PythonObj::steal(PyUnicode_AsUTF8String(s));
    if (!encoded) {
        return false;
    }
    data = PyBytes_AS_STRING(encoded.get());
    size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
    return true;
}

// A run of the stream: bytes copied into the gathered block (`ext` null, at
// `off`), or a long string's bytes written straight from its own storage.
struct Piece {
    const char* ext;
    size_t off;
    size_t size;
};

// Strings this long are written from their own storage (kept alive by a
// reference); shorter ones are copied into one block as they are checked.
// The whole column is checked before the first byte is written, so the block
// holds all the short ones: a small bound keeps it below the size of the
// string objects it copies from, and costs a long string one system call of
// its own.
constexpr size_t kDirectSize = size_t{4} << 10;

// The bytes of a whole column, in order, with what keeps them alive.
struct Gathered {
    ElementWalk walk;   // a sequence's snapshot
    PythonObj kept;     // list of the objects that direct pieces point into
    RawBuffer block;    // the copied bytes
    size_t used = 0;
    RawBuffer pieces;
    size_t npieces = 0;
    RawBuffer ends;     // int64 end offsets, native order
    Py_ssize_t count = 0;
    int64_t total = 0;

    Piece* piece(size_t k) const noexcept { return reinterpret_cast<Piece*>(pieces.data()) + k; }
    int64_t* endsData() const noexcept { return reinterpret_cast<int64_t*>(ends.data()); }
};

// Grows `buf` to hold at least `n` bytes, at least doubling it.
bool grow(RawBuffer& buf, size_t n) noexcept {
    if (n <= buf.capacity()) {
        return true;
    }
    return buf.reserve(n < 2 * buf.capacity() ? 2 * buf.capacity() : n);
}

bool addPiece(Gathered& g, const char* ext, size_t size) noexcept {
    if (!ext && g.npieces > 0 && !g.piece(g.npieces - 1)->ext) {
        g.piece(g.npieces - 1)->size += size;  // extends the copied run
        return true;
    }
    if (!grow(g.pieces, (g.npieces + 1) * sizeof(Piece))) {
        return false;
    }
    *g.piece(g.npieces++) = Piece{ext, ext ? 0 : g.used, size};
    return true;
}


// One element: checks it and takes its bytes (copied, or kept for a direct
// write). `s` may be lent from the caller's array, so it is held by our own
// reference before anything that can run Python code.
bool gatherOne(Gathered& g, Py_ssize_t i, PyObject* s) noexcept {
    if (!grow(g.ends, static_cast<size_t>(i + 1) * 8)) {
        return false;
    }
    if (!PyUnicode_Check(s)) {
        PyErr_Format(PyExc_TypeError, "element %zd of the column is not a str but %.200s", i,
                     Py_TYPE(s)->tp_name);
        return false;
    }
    PythonObj hold;
    PythonObj encoded;
    const char* data;
    size_t size;
#if PY_VERSION_HEX < 0x030C0000
    const bool ascii = PyUnicode_IS_READY(s) && PyUnicode_IS_ASCII(s);
#else
    const bool ascii = PyUnicode_IS_ASCII(s);
#endif
    if (!ascii) {
        hold.set(s);  // encoding allocates, and an error object may start a collection
    }
    if (!utf8Of(s, encoded, data, size)) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            nameElement(i, PyExc_UnicodeEncodeError, s);
        }
        return false;
    }
    if (size >= kDirectSize) {
        PyObject* owner = encoded ? encoded.get() : s;
        if (PyList_Append(g.kept.get(), owner) < 0 || !addPiece(g, data, size)) {
            return false;
        }
    } else if (size > 0) {
        if (!grow(g.block, g.used + size) || !addPiece(g, nullptr, size)) {
            return false;
        }
        std::memcpy(g.block.data() + g.used, data, size);
        g.used += size;
    }
    g.total += static_cast<int64_t>(size);
    g.endsData()[i] = g.total;
    g.count = i + 1;
    return true;
}

bool gather(PyObject* column, Gathered& g) noexcept {
    g.kept = PythonObj::steal(PyList_New(0));
    // An object array exports its length and anything else is a sequence:
    // the offsets are sized once, the copied bytes grow as they come.
    const Py_ssize_t hint = PyObject_Length(column);
    if (!g.kept || hint < 0 || !g.ends.reserve(static_cast<size_t>(hint) * 8 + 8)) {
        return false;
    }
    return g.walk.visit(column, [&g](Py_ssize_t i, PyObject* s) noexcept {
        return gatherOne(g, i, s);
    });
}

// Writes the gathered strings (after `head`, if any) to `to`, each copied run
// and each long string in one transfer.
bool emit(const Gathered& g, const char* head, size_t head_size, const Endpoint& to) noexcept {
    LockRelease lock(to.fd >= 0);
    if (head_size > 0 && !writeAll(to, head, head_size, lock)) {
        return false;
    }
    for (size_t k = 0; k < g.npieces; ++k) {
        const Piece& piece = *g.piece(k);
        const char* p = piece.ext ? piece.ext : g.block.data() + piece.off;
        if (!writeAll(to, p, piece.size, lock)) {
            return false;
        }
    }
    return true;
}

// write_stream(column, dest, header) -> bytearray of native int64 end offsets.
PyObject* write_stream(PyObject*, PyObject* args) noexcept {
    PyObject* column;
    PyObject* dest;
    int header;
    if (!PyArg_ParseTuple(args, "OOp:write_stream", &column, &dest, &header)) {
        return nullptr;
    }
    Endpoint to;
    if (!parseEndpoint(dest, to)) {
        return nullptr;
    }
    Gathered g;
    if (!gather(column, g)) {
        return nullptr;
    }
    RawBuffer head;
    size_t head_size = 0;
    if (header) {
        head_size = kHeaderSize + static_cast<size_t>(g.count) * 8;
        if (!head.reserve(head_size)) {
            return nullptr;
        }
        char* h = head.data();
        std::memcpy(h, kMagic, 8);
        const uint32_t version = toLittle32(kVersion);
        const uint32_t reserved = 0;
        std::memcpy(h + 8, &version, 4);
        std::memcpy(h + 12, &reserved, 4);
        putLittle64(h + 16, g.count);
        putLittle64(h + 24, g.total);
        for (Py_ssize_t i = 0; i < g.count; ++i) {
            putLittle64(h + kHeaderSize + 8 * static_cast<size_t>(i), g.endsData()[i]);
        }
    }
    if (!emit(g, head.data(), head_size, to)) {
        return nullptr;
    }
    return PyByteArray_FromStringAndSize(g.ends.data(), static_cast<Py_ssize_t>(g.count) * 8);
}

// ---------------------------------------------------------------------------
// Reading

// What a short read reports: `what` and the bytes of it expected in all,
// `before` of which arrived before this read.
struct ReadPart {
    const char* what;
    uint64_t expected;
    uint64_t before;
};

// Reads exactly `need` bytes into `buf`. With a known source size (checked by
// the caller) the room is taken at once; otherwise it grows with what arrives.
bool readExactly(const Endpoint& from, RawBuffer& buf, size_t need, bool size_known,
                 const ReadPart& part) noexcept {
    size_t room = size_known ? need : (need < kFirstReadRoom ? need : kFirstReadRoom);
    size_t got = 0;
    for (;;) {
        if (!buf.reserve(room + 1)) {
            return false;
        }
        int64_t k;
        {
            LockRelease lock(from.fd >= 0);
            k = readUpTo(from, buf.data() + got, room - got, lock);
        }
        if (k < 0) {
            return false;
        }
        got += static_cast<size_t>(k);
        if (got == need) {
            return true;
        }
        if (got < room) {
            PyErr_Format(PyExc_ValueError,
                         "short data: expected %llu bytes of %s, only %llu follow",
                         static_cast<unsigned long long>(part.expected), part.what,
                         static_cast<unsigned long long>(part.before + got));
            return false;
        }
        room = need - room < room ? need : room * 2;
    }
}

// Offsets must start at 0 or later and never decrease.
bool checkEnds(const int64_t* ends, Py_ssize_t count) noexcept {
    int64_t prev = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (ends[i] < prev) {
            if (i == 0) {
                PyErr_Format(PyExc_ValueError, "end offset 0 is negative (%lld)",
                             static_cast<long long>(ends[i]));
            } else {
                PyErr_Format(PyExc_ValueError,
                             "end offsets are not non-decreasing: element %zd ends at %lld, "
                             "before element %zd (%lld)",
                             i, static_cast<long long>(ends[i]), i - 1,
                             static_cast<long long>(prev));
            }
            return false;
        }
        prev = ends[i];
    }
    return true;
}


bool isAscii(const char* p, size_t n) noexcept {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        high |= w;
    }
    for (; i < n; ++i) {
        high |= static_cast<unsigned char>(p[i]);
    }
    return (high & 0x8080808080808080ULL) == 0;
}

// A str of ASCII bytes known to be valid. Strings of one character come from
// the interpreter's own cache, as the UTF-8 decoder gives them.
PyObject* newAscii(const char* p, Py_ssize_t n) noexcept {
    if (n <= 1) {
        return n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<unsigned char>(*p));
    }
    PyObject* s = PyUnicode_New(n, 127);
    if (s) {
        std::memcpy(PyUnicode_DATA(s), p, static_cast<size_t>(n));
    }
    return s;
}

// Reads the strings in chunks of about kChunkSize bytes (a longer string is a
// chunk of its own) and decodes each chunk into `slots` as it arrives: the
// buffer stays small and warm instead of holding the whole column's bytes.
bool readStrings(const Endpoint& from, const int64_t* ends, Py_ssize_t count, bool size_known,
                 ObjectSlots& slots) noexcept {
    const uint64_t total = count > 0 ? static_cast<uint64_t>(ends[count - 1]) : 0;
    RawBuffer buf;
    int64_t base = 0;  // stream offset of the chunk's first byte
    Py_ssize_t first = 0;
    while (first < count) {
        Py_ssize_t stop = first + 1;
        while (stop < count && ends[stop] - base <= kChunkSize) {
            ++stop;
        }
        if (!readExactly(from, buf, static_cast<size_t>(ends[stop - 1] - base), size_known,
                         {"string data", total, static_cast<uint64_t>(base)})) {
            return false;
        }
        const bool ascii = isAscii(buf.data(), static_cast<size_t>(ends[stop - 1] - base));
        for (Py_ssize_t i = first; i < stop; ++i) {
            const int64_t start = i > 0 ? ends[i - 1] : 0;
            const char* p = buf.data() + (start - base);
            const Py_ssize_t n = static_cast<Py_ssize_t>(ends[i] - start);
            PyObject* s = ascii ? newAscii(p, n) : PyUnicode_DecodeUTF8(p, n, "strict");
            if (!s) {
                if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                    nameElement(i, PyExc_UnicodeDecodeError, nullptr, p, n);
                }
                return false;
            }
            slots.set(i, s);
        }
        base = ends[stop - 1];
        first = stop;
    }
    return true;
}

// Reads and checks the header; fills the count and byte total.
bool readHeader(const Endpoint& from, int64_t limit, int64_t& count, int64_t& total) noexcept {
    char h[kHeaderSize];
    int64_t got;
    {
        LockRelease lock(from.fd >= 0);
        got = readUpTo(from, h, kHeaderSize, lock);
    }
    if (got < 0) {
        return false;
    }
    if (got == 0) {
        PyErr_SetString(PyExc_ValueError, "not a string column file: it is empty");
        return false;
    }
    if (got < static_cast<int64_t>(kHeaderSize) || std::memcmp(h, kMagic, 8) != 0) {
        if (std::memcmp(h, kMagic, static_cast<size_t>(got < 8 ? got : 8)) != 0) {
            PyErr_SetString(PyExc_ValueError, "not a string column file: bad magic");
        } else {
            PyErr_Format(PyExc_ValueError, "truncated header: %lld of %d bytes",
                         static_cast<long long>(got), static_cast<int>(kHeaderSize));
        }
        return false;
    }
    uint32_t version, reserved;
    std::memcpy(&version, h + 8, 4);
    std::memcpy(&reserved, h + 12, 4);
    version = toLittle32(version);
    if (version != kVersion) {
        PyErr_Format(PyExc_ValueError, "unsupported string column format version %u (this is %u)",
                     version, kVersion);
        return false;
    }
    if (reserved != 0) {
        PyErr_SetString(PyExc_ValueError, "corrupt header: reserved field is not zero");
        return false;
    }
    count = getLittle64(h + 16);
    total = getLittle64(h + 24);
    if (count < 0 || total < 0 || count > (INT64_MAX - total) / 8 ||
        count > PY_SSIZE_T_MAX / 8) {
        PyErr_Format(PyExc_ValueError, "corrupt header: impossible count %lld or byte total %lld",
                     static_cast<long long>(count), static_cast<long long>(total));
        return false;
    }
    const int64_t left = limit - static_cast<int64_t>(kHeaderSize);
    if (limit >= 0 && count * 8 + total > left) {
        PyErr_Format(PyExc_ValueError,
                     "short data: the header announces %lld strings of %lld bytes "
                     "(%lld bytes with their offsets), only %lld follow",
                     static_cast<long long>(count), static_cast<long long>(total),
                     static_cast<long long>(count * 8 + total), static_cast<long long>(left));
        return false;
    }
    return true;
}

// read_stream(src, ends, limit, make_array) -> object array of str. `ends` is
// None for a column file (header and offsets come from `src`) or a buffer of
// native int64 end offsets for the bare stream; `limit` is the number of bytes
// left in the source, or -1 when that cannot be known; `make_array(n)` returns
// a new contiguous object array of n items to fill.
PyObject* read_stream(PyObject*, PyObject* args) noexcept {
    PyObject* source;
    PyObject* ends_arg;
    long long limit;
    PyObject* make_array;
    if (!PyArg_ParseTuple(args, "OOLO:read_stream", &source, &ends_arg, &limit, &make_array)) {
        return nullptr;
    }
    Endpoint from;
    if (!parseEndpoint(source, from)) {
        return nullptr;
    }
    const bool size_known = limit >= 0;
    RawBuffer ends;
    int64_t count = 0, total = 0;
    if (ends_arg == Py_None) {
        if (!readHeader(from, limit, count, total) ||
            !readExactly(from, ends, static_cast<size_t>(count) * 8, size_known,
                         {"end offsets", static_cast<uint64_t>(count) * 8, 0})) {
            return nullptr;
        }
        int64_t* e = reinterpret_cast<int64_t*>(ends.data());
        for (int64_t i = 0; i < count; ++i) {
            e[i] = getLittle64(reinterpret_cast<const char*>(e + i));
        }
        if (!checkEnds(e, static_cast<Py_ssize_t>(count))) {
            return nullptr;
        }
        const int64_t last = count > 0 ? e[count - 1] : 0;
        if (last != total) {
            PyErr_Format(PyExc_ValueError,
                         last > total ? "end offsets go beyond the data: the last is %lld, "
                                        "the byte total %lld"
                                      : "corrupt header: the last end offset is %lld, "
                                        "the byte total %lld",
                         static_cast<long long>(last), static_cast<long long>(total));
            return nullptr;
        }
    } else {
        BufferView given;
        if (!given.acquire(ends_arg, PyBUF_C_CONTIGUOUS)) {
            return nullptr;
        }
        const Py_ssize_t len = given.view.len;
        // Our own copy: the caller's array may change while the lock is out.
        const bool ok = len % 8 == 0 && ends.reserve(static_cast<size_t>(len) + 1);
        if (ok) {
            std::memcpy(ends.data(), given.view.buf, static_cast<size_t>(len));
        }
        given.release();
        if (!ok) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_ValueError, "end offsets must be whole int64 values");
            }
            return nullptr;
        }
        count = len / 8;
        const int64_t* e = reinterpret_cast<const int64_t*>(ends.data());
        if (!checkEnds(e, static_cast<Py_ssize_t>(count))) {
            return nullptr;
        }
        total = count > 0 ? e[count - 1] : 0;
        if (size_known && total > limit) {
            PyErr_Format(PyExc_ValueError,
                         "short data: expected %lld bytes of string data, only %lld follow",
                         static_cast<long long>(total), limit);
            return nullptr;
        }
    }
    // Count is bounded by the offsets that arrived, so the array is too.
    PythonObj out = PythonObj::steal(PyObject_CallFunction(make_array, "n",
                                                           static_cast<Py_ssize_t>(count)));
    ObjectSlots slots;
    if (!out || !slots.hold(out.get(), static_cast<Py_ssize_t>(count)) ||
        !readStrings(from, reinterpret_cast<const int64_t*>(ends.data()),
                     static_cast<Py_ssize_t>(count), size_known, slots)) {
        return nullptr;
    }
    return out.release();
}

PyMethodDef kMethods[] = {
    {"write_stream", write_stream, METH_VARARGS,
     "write_stream(column, dest, header) -> bytearray of int64 end offsets"},
    {"read_stream", read_stream, METH_VARARGS,
     "read_stream(source, ends, limit, make_array) -> object array of str"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_Strings",
    "Native string column transfers; use vorlane.strings.", 0, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__Strings() {
    return PyModule_Create(&kModule);
}
