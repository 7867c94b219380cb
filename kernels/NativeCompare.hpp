// The lock-free half of the object comparisons: Python's own answer for the
// pairs whose comparison runs no Python code and cannot raise, read straight
// from the objects' memory without the interpreter lock.
//
// Contract
//   * `decide<Op>(a, b)` returns True or False exactly as
//     PyObject_RichCompareBool(a, b, Op) would, a raised exception counting as
//     false; or Locked when the pair must be left to the interpreter.
//   * It may be called without the interpreter lock, from any thread, on two
//     live objects that a store pins (it takes no reference).
//   * Decided here: the identity shortcut of EQ and NE (any objects, NaN
//     included); two exact str that are compact; two exact int or bool; two
//     exact float; two exact tuples whose items decide here, up to four
//     tuples deep; an exact int or bool of at most 2**53 in magnitude against
//     an exact float; two exact bytes; and the mixed pairs that the interpreter
//     settles by its fallback alone (one of exact str, int, float, bytes,
//     tuple, list, dict against another of them: EQ false, NE true,
//     orderings raise, so false), which read nothing but the type pointers.
//     Everything else is Locked, among it: two lists or dicts, which the
//     interpreter may change meanwhile; two tuples with a pair of items that
//     is Locked; subclasses; a float against
//     an int beyond 2**53 (compared exactly, which a double cannot); str
//     against bytes and bytes against int (both warn under `python -b`, a
//     side effect); legacy (non-compact) strings.
//
// What is read without the lock, and why nobody writes it meanwhile
//   * The type pointer, loaded once and only compared with the built-in
//     types: an instance of str, int, bool, float, bytes, tuple, list or
//     dict can never change its class, and any other object only ever swaps one heap type for
//     another, so the comparison has the same outcome either way.
//   * str: length, and from the state word (one atomic load of the whole
//     word) kind, compact, ascii and (3.9, 3.11) ready; then the characters, which
//     a compact string keeps right behind its header. The interpreter sets
//     them when it creates the string and never again: it resizes or writes
//     a string in place only while it holds the only reference, and a store
//     holds one. The state word also carries the interned bits, which the
//     interpreter rewrites lazily: the atomic load sees each bit as before or
//     after, and those bits are never looked at. Never read: the hash, the
//     UTF-8 cache, wstr.
//   * int and bool: size (sign and digit count) and digits, set at creation.
//   * float: the value, set at creation.
//   * tuple: size and item pointers, set at creation (resized or filled in
//     place only while its maker holds the only reference).
//   * bytes: size and data, set at creation (the same sole-reference rule as
//     str covers in-place resizing). Never read: the cached hash.
//   * Never the reference count.
//
// Interpreter versions: the layouts are those of the headers this module is
// built with, and a build reads objects only for a version written and
// tested here: CPython 3.9, 3.11, 3.12 and 3.13. They differ in two places,
// both in the section "Where the layouts differ": 3.9 and 3.11 have legacy
// strings and a ready bit, 3.12 and 3.13 have neither; 3.9 and 3.11 keep an
// int's sign and digit count in ob_size, 3.12 and 3.13 in lv_tag. 3.13's str
// state word, int, float and bytes are field for field those of 3.12. A
// free-threaded build (Py_GIL_DISABLED) has another object header, whose
// reference count and type are not where these readers look, so it reads no
// object. Any other version, or a free-threaded build, decides only the
// identity shortcut, which reads no object at all, and leaves the rest to the
// interpreter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

// One reader per supported layout; every other version reads no object.
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030A0000
#include <longintrepr.h>  // 3.9's Python.h leaves out the int layout
#define VORLANE_NATIVE_LAYOUT "3.9"
#define VORLANE_NATIVE_LAYOUT_READER 1
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define VORLANE_NATIVE_LAYOUT "3.11"
#define VORLANE_NATIVE_LAYOUT_READER 1
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define VORLANE_NATIVE_LAYOUT "3.12"
#define VORLANE_NATIVE_LAYOUT_READER 1
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define VORLANE_NATIVE_LAYOUT "3.13"
#define VORLANE_NATIVE_LAYOUT_READER 1
#else
#define VORLANE_NATIVE_LAYOUT ""
#endif

namespace vorlane::native {

enum class Answer { False, True, Locked };

constexpr Answer answer(bool value) noexcept { return value ? Answer::True : Answer::False; }

// What the rich comparison `Op` says about a three-way result.
template <int Op>
constexpr bool holds(int order) noexcept {
    switch (Op) {
    case Py_LT: return order < 0;
    case Py_LE: return order <= 0;
    case Py_EQ: return order == 0;
    case Py_NE: return order != 0;
    case Py_GT: return order > 0;
    default: return order >= 0;  // Py_GE
    }
}

constexpr bool isEquality(int op) noexcept { return op == Py_EQ || op == Py_NE; }

#ifdef VORLANE_NATIVE_LAYOUT_READER

/* ---- Where the layouts differ ------------------------------------------ */

// A string whose characters sit right behind its header. 3.9 and 3.11 also
// have legacy strings that are not ready yet (readying one writes it); 3.12
// has no legacy strings and no ready bit.
template <typename State>
bool compactAndReady(const State& state) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return state.compact && state.ready;
#else
    return state.compact;
#endif
}

// An int as sign-carrying digit count and digits (least significant first).
struct IntShape {
    Py_ssize_t signed_count;
    const digit* digits;
};

inline IntShape intShape(PyObject* o) noexcept {
    auto* value = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX < 0x030C0000
    // ob_size: the digit count, negative for a negative int.
    return {Py_SIZE(o), value->ob_digit};
#else
    // lv_tag: the digit count above three flag bits whose low two give the
    // sign (0 positive, 1 zero, 2 negative).
    const uintptr_t tag = value->long_value.lv_tag;
    const auto count = static_cast<Py_ssize_t>(tag >> _PyLong_NON_SIZE_BITS);
    const Py_ssize_t sign = 1 - static_cast<Py_ssize_t>(tag & _PyLong_SIGN_MASK);
    return {sign * count, value->long_value.ob_digit};
#endif
}

/* ---- Shared by every supported layout ----------------------------------- */

// List and Dict are only ever told apart from the others: two of one family
// compare items the interpreter may be changing.
enum class Family { Str, Int, Float, Bytes, Tuple, List, Dict, Other };

inline Family familyOf(PyObject* o) noexcept {
    // The type pointer, compared only (see the file comment).
    PyTypeObject* type = __atomic_load_n(&o->ob_type, __ATOMIC_RELAXED);
    if (type == &PyUnicode_Type) return Family::Str;
    if (type == &PyLong_Type || type == &PyBool_Type) return Family::Int;
    if (type == &PyFloat_Type) return Family::Float;
    if (type == &PyBytes_Type) return Family::Bytes;
    if (type == &PyTuple_Type) return Family::Tuple;
    if (type == &PyList_Type) return Family::List;
    if (type == &PyDict_Type) return Family::Dict;
    return Family::Other;
}

// Two different families, or Locked when the interpreter would run more than
// its fallback (or warn) for them. Every known family's comparison answers
// NotImplemented for an operand of another family, except float's for an
// int; bytes's warns under `python -b` against str and int.
template <int Op>
Answer decideMixed(Family fa, Family fb) noexcept {
    auto pair = [&](Family p, Family q) {
        return (fa == p && fb == q) || (fa == q && fb == p);
    };
    if (fa == Family::Other || fb == Family::Other || pair(Family::Str, Family::Bytes) ||
        pair(Family::Bytes, Family::Int)) {
        return Answer::Locked;
    }
    return answer(Op == Py_NE);  // not identical, so unequal; orderings raise
}

// A compact str as the interpreter lays it out: characters behind the header.
struct StrView {
    Py_ssize_t length;
    unsigned kind;
    const void* data;
};

// False when the string is not compact and ready: legacy strings keep their
// characters elsewhere, and readying one writes the object.
inline bool viewStr(PyObject* o, StrView& view) noexcept {
    auto* header = reinterpret_cast<PyASCIIObject*>(o);
    // One atomic load of the whole state word; its interned bits may be
    // rewritten concurrently and are not used.
    decltype(header->state) state;
    __atomic_load(&header->state, &state, __ATOMIC_RELAXED);
    if (!compactAndReady(state)) {
        return false;
    }
    view.length = header->length;
    view.kind = state.kind;
    view.data = state.ascii ? static_cast<const void*>(header + 1)
                            : static_cast<const void*>(
                                  reinterpret_cast<PyCompactUnicodeObject*>(o) + 1);
    return true;
}

template <typename A, typename B>
int orderCodePoints(const void* a, const void* b, Py_ssize_t n) noexcept {
    const A* p = static_cast<const A*>(a);
    const B* q = static_cast<const B*>(b);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) {
            return static_cast<Py_UCS4>(p[i]) < static_cast<Py_UCS4>(q[i]) ? -1 : 1;
        }
    }
    return 0;
}

template <typename A>
int orderCodePointsWith(unsigned kind_b, const void* a, const void* b, Py_ssize_t n) noexcept {
    switch (kind_b) {
    case PyUnicode_1BYTE_KIND: return orderCodePoints<A, Py_UCS1>(a, b, n);
    case PyUnicode_2BYTE_KIND: return orderCodePoints<A, Py_UCS2>(a, b, n);
    default: return orderCodePoints<A, Py_UCS4>(a, b, n);
    }
}

// The interpreter's str ordering: code points, then length. Strings of
// different kinds compare by code point, so a non-canonical string orders
// equal to its canonical twin.
inline int orderStr(const StrView& a, const StrView& b) noexcept {
    const Py_ssize_t n = a.length < b.length ? a.length : b.length;
    int order;
    if (a.kind == PyUnicode_1BYTE_KIND && b.kind == PyUnicode_1BYTE_KIND) {
        const int c = std::memcmp(a.data, b.data, static_cast<size_t>(n));
        order = (c > 0) - (c < 0);
    } else if (a.kind == PyUnicode_1BYTE_KIND) {
        order = orderCodePointsWith<Py_UCS1>(b.kind, a.data, b.data, n);
    } else if (a.kind == PyUnicode_2BYTE_KIND) {
        order = orderCodePointsWith<Py_UCS2>(b.kind, a.data, b.data, n);
    } else {
        order = orderCodePointsWith<Py_UCS4>(b.kind, a.data, b.data, n);
    }
    if (order != 0) {
        return order;
    }
    return (a.length > b.length) - (a.length < b.length);
}

template <int Op>
Answer decideStr(PyObject* a, PyObject* b) noexcept {
    StrView x, y;
    if (!viewStr(a, x) || !viewStr(b, y)) {
        return Answer::Locked;
    }
    if (isEquality(Op)) {
        // The interpreter's equality: same length, same kind, same bytes. A
        // non-canonical string is never equal to its canonical twin.
        const bool equal =
            x.length == y.length && x.kind == y.kind &&
            std::memcmp(x.data, y.data, static_cast<size_t>(x.length) * x.kind) == 0;
        return answer(equal == (Op == Py_EQ));
    }
    return answer(holds<Op>(orderStr(x, y)));
}

// The interpreter's int ordering: the signed digit count first, then the
// digits from the most significant one, the sign deciding the direction.
inline int orderInt(PyObject* a, PyObject* b) noexcept {
    const IntShape x = intShape(a);
    const IntShape y = intShape(b);
    if (x.signed_count != y.signed_count) {
        return x.signed_count < y.signed_count ? -1 : 1;
    }
    for (Py_ssize_t i = x.signed_count < 0 ? -x.signed_count : x.signed_count; i-- > 0;) {
        if (x.digits[i] != y.digits[i]) {
            const int magnitude = x.digits[i] < y.digits[i] ? -1 : 1;
            return x.signed_count < 0 ? -magnitude : magnitude;
        }
    }
    return 0;
}

template <int Op>
bool holdsFloat(double x, double y) noexcept {
    // C's own comparisons, as the interpreter's: false with a NaN, but NE true.
    switch (Op) {
    case Py_LT: return x < y;
    case Py_LE: return x <= y;
    case Py_EQ: return x == y;
    case Py_NE: return x != y;
    case Py_GT: return x > y;
    default: return x >= y;
    }
}

// The interpreter's bytes ordering: bytes as unsigned, then length.
inline int orderBytes(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t size_a = Py_SIZE(a);
    const Py_ssize_t size_b = Py_SIZE(b);
    const Py_ssize_t n = size_a < size_b ? size_a : size_b;
    const int c = std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), static_cast<size_t>(n));
    if (c != 0) {
        return c < 0 ? -1 : 1;
    }
    return (size_a > size_b) - (size_a < size_b);
}

// An int's value as a double, when the double holds it exactly (at most
// 2**53 in magnitude); false otherwise.
inline bool exactDouble(PyObject* o, double& value) noexcept {
    const IntShape shape = intShape(o);
    const Py_ssize_t count = shape.signed_count < 0 ? -shape.signed_count : shape.signed_count;
    constexpr int kDigitsIn53Bits = (53 + PyLong_SHIFT - 1) / PyLong_SHIFT;
    if (count > kDigitsIn53Bits) {
        return false;
    }
    uint64_t magnitude = 0;
    for (Py_ssize_t i = count; i-- > 0;) {
        magnitude = (magnitude << PyLong_SHIFT) | shape.digits[i];
    }
    if (magnitude > (uint64_t{1} << 53)) {
        return false;
    }
    value = shape.signed_count < 0 ? -static_cast<double>(magnitude) : static_cast<double>(magnitude);
    return true;
}

// An int against a float. The interpreter compares them exactly, which for
// an int a double holds is the comparison of the two doubles: an infinity or
// a NaN included, and -0.0 equal to 0. Larger ints are left to it.
template <int Op>
Answer decideIntFloat(PyObject* a, Family fa, PyObject* b) noexcept {
    double x, y;
    if (fa == Family::Int) {
        if (!exactDouble(a, x)) {
            return Answer::Locked;
        }
        y = PyFloat_AS_DOUBLE(b);
    } else {
        if (!exactDouble(b, y)) {
            return Answer::Locked;
        }
        x = PyFloat_AS_DOUBLE(a);
    }
    return answer(holdsFloat<Op>(x, y));
}

template <int Op>
Answer decideAt(PyObject* a, PyObject* b, int depth) noexcept;

// Tuples nested deeper than this are left to the interpreter.
constexpr int kTupleDepth = 4;

// The interpreter's tuple comparison: the first pair of items that is not
// equal (PyObject_RichCompareBool's EQ, identity first) decides, EQ and NE at
// once, an ordering by comparing that pair with it; items equal up to the
// shorter length leave it to the lengths. Locked as soon as one pair of items
// is. A tuple's size and items are set when it is made, while its maker
// holds the only reference, and never again.
template <int Op>
Answer decideTuple(PyObject* a, PyObject* b, int depth) noexcept {
    if (depth >= kTupleDepth) {
        return Answer::Locked;
    }
    const Py_ssize_t size_a = PyTuple_GET_SIZE(a);
    const Py_ssize_t size_b = PyTuple_GET_SIZE(b);
    const Py_ssize_t n = size_a < size_b ? size_a : size_b;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* x = PyTuple_GET_ITEM(a, i);
        PyObject* y = PyTuple_GET_ITEM(b, i);
        const Answer equal = decideAt<Py_EQ>(x, y, depth + 1);
        if (equal == Answer::Locked) {
            return Answer::Locked;
        }
        if (equal == Answer::False) {
            return isEquality(Op) ? answer(Op == Py_NE) : decideAt<Op>(x, y, depth + 1);
        }
    }
    return answer(holds<Op>((size_a > size_b) - (size_a < size_b)));
}

template <int Op>
Answer decideLayout(PyObject* a, PyObject* b, int depth) noexcept {
    const Family fa = familyOf(a);
    const Family fb = familyOf(b);
    if (fa != fb) {
        if ((fa == Family::Int && fb == Family::Float) || (fa == Family::Float && fb == Family::Int)) {
            return decideIntFloat<Op>(a, fa, b);
        }
        return decideMixed<Op>(fa, fb);
    }
    switch (fa) {
    case Family::Str:
        return decideStr<Op>(a, b);
    case Family::Int:
        return answer(holds<Op>(orderInt(a, b)));
    case Family::Float:
        return answer(holdsFloat<Op>(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b)));
    case Family::Bytes:
        return answer(holds<Op>(orderBytes(a, b)));
    case Family::Tuple:
        return decideTuple<Op>(a, b, depth);
    default:
        return Answer::Locked;
    }
}
#endif

// `decide`, for a pair met `depth` tuples deep.
template <int Op>
Answer decideAt(PyObject* a, PyObject* b, [[maybe_unused]] int depth) noexcept {
    if (a == b && isEquality(Op)) {
        // PyObject_RichCompareBool's identity shortcut: the objects unread.
        return answer(Op == Py_EQ);
    }
#ifdef VORLANE_NATIVE_LAYOUT_READER
    return decideLayout<Op>(a, b, depth);
#else
    return Answer::Locked;
#endif
}

template <int Op>
Answer decide(PyObject* a, PyObject* b) noexcept {
    return decideAt<Op>(a, b, 0);
}

}  // namespace vorlane::native
