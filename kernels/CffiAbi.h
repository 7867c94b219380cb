// What an out-of-line module and cffi's run-time backend (_cffi_backend)
// exchange, declared here from the backend's published layout rather than
// taken from a generated source, so that the build never runs cffi.
//
// Contract
//   * Layouts and numbers must match the backend bit for bit; the module is
//     built for protocol version 0x2601, which backends from 1.8 on accept.
//   * A type-table word is an opcode in its low 8 bits and an argument above.
//     The backend replaces a word by a pointer to its own type descriptor once
//     it has built that type; descriptors are aligned, so their low bit is 0
//     while every opcode word here is odd or otherwise not yet resolved.
//   * The export table is written by the backend during initialisation, with
//     the lock held, and only read afterwards.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace cffi {

// Protocol version understood by _init_cffi_1_0_external_module.
constexpr uintptr_t kModuleVersion = 0x2601;

using Word = uintptr_t;

constexpr Word op(Word opcode, Word argument) { return opcode | (argument << 8); }

// Opcodes.
constexpr Word kPrimitive = 1;
constexpr Word kPointer = 3;
constexpr Word kFunction = 13;
constexpr Word kFunctionEnd = 15;
constexpr Word kNoop = 17;
constexpr Word kBuiltinVarargs = 23;  // a METH_VARARGS wrapper plus direct entry

// Primitive type numbers.
constexpr Word kVoid = 0;
constexpr Word kBool = 1;
constexpr Word kInt64 = 23;

// The backend stores the direct-call entry as a bare address; a union of the
// two signatures this module declares keeps the tables constant-initialised.
union DirectEntry {
    void (*comparison)(bool*, int64_t*, int64_t*) noexcept;
    void (*selection)(int64_t*, int64_t*, int64_t*) noexcept;

    constexpr DirectEntry(void (*f)(bool*, int64_t*, int64_t*) noexcept) : comparison(f) {}
    constexpr DirectEntry(void (*f)(int64_t*, int64_t*, int64_t*) noexcept) : selection(f) {}
};
static_assert(sizeof(DirectEntry) == sizeof(void*), "the backend reads one address");

// One declared global: for a function, its Python-callable wrapper and the
// entry whose address ffi.addressof hands out.
struct Global {
    const char* name;
    PyCFunction wrapper;
    Word type_op;
    DirectEntry direct_entry;
};

struct TypeContext {
    Word* types;
    const Global* globals;
    const void* fields;
    const void* struct_unions;
    const void* enums;
    const void* typenames;
    int num_globals;
    int num_struct_unions;
    int num_enums;
    int num_typenames;
    const char* const* includes;
    int num_types;
    int flags;
};

// The backend's service routines, by slot of the export table.
constexpr size_t kNumExports = 28;
constexpr size_t kRestoreErrno = 13;
constexpr size_t kSaveErrno = 14;
constexpr size_t kPreparePointerArgument = 23;
constexpr size_t kConvertArrayFromObject = 24;

struct CTypeDescr;  // opaque: the backend's type object

// Slot 23: 0 when `arg` already is a matching pointer (stored in *out), the
// number of bytes of scratch an array-like `arg` needs, or < 0 with an
// exception set.
using PreparePointerArgument = Py_ssize_t (*)(CTypeDescr*, PyObject* arg, char** out);
// Slot 24: fills zeroed scratch from an array-like `arg`; < 0 with an
// exception set.
using ConvertArrayFromObject = int (*)(char* data, CTypeDescr*, PyObject* arg);
// Slots 13 and 14.
using ErrnoRoutine = void (*)();

}  // namespace cffi
