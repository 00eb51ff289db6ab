// Module loading: shared libraries loaded at run time, their functions
// looked up by name or by ordinal, and the file names of modules.
//
// A library publishes its ordinal table without adding an exported symbol:
// each ZEL_EXPORT_ORDINAL line puts one entry {ordinal, exported name} into
// the ELF note section ".note.zel.ordinals" of the library, which the loader
// finds in the loaded image (its PT_NOTE segment). GetProcAddress by ordinal
// reads that table and resolves the name; an ordinal with no entry fails.
//
//   ZEL_EXPORT_ORDINAL(1, caInitializeZELComm);
//
// The named function must be exported by the library itself.
#ifndef ZEL_PLATFORM_MODULE_H
#define ZEL_PLATFORM_MODULE_H

#include "platform/handles.h"
#include "platform/types.h"

// Owner and type of the ordinal notes; the loader matches both.
#define ZEL_ORDINAL_NOTE_OWNER "zelcomm"
#define ZEL_ORDINAL_NOTE_TYPE 0x4f52445a

#define ZEL_ORDINAL_STRINGIFY(x) #x
#define ZEL_ORDINAL_TEXT(x) ZEL_ORDINAL_STRINGIFY(x)

// One note per entry: name size, description size, type, owner, then the
// description: the ordinal (32-bit) and the NUL-terminated function name.
// `ordinal` must be a decimal literal from 1 to 65535; written at namespace
// scope of a source file of the library that exports `function`.
// clang-format off
#define ZEL_EXPORT_ORDINAL(ordinal, function)                                     \
  static_assert((ordinal) >= 1 && (ordinal) <= 65535, "ordinals are 1 to 65535"); \
  asm(".pushsection .note.zel.ordinals,\"a\",@note\n"                             \
      ".balign 4\n"                                                               \
      ".long 8\n"                                                                 \
      ".long 2f - 1f\n"                                                           \
      ".long " ZEL_ORDINAL_TEXT(ZEL_ORDINAL_NOTE_TYPE) "\n"                       \
      ".asciz \"" ZEL_ORDINAL_NOTE_OWNER "\"\n"                                   \
      "1: .long " #ordinal "\n"                                                   \
      ".asciz \"" #function "\"\n"                                                \
      "2: .balign 4\n"                                                            \
      ".popsection\n")
// clang-format on

namespace zel::platform {

// An ordinal for GetProcAddress, kept apart from names by its type.
struct Ordinal {
  WORD value;
};

// Loads the shared library at `path` (a name without "/" is searched as the
// system's loader does) with all its symbols resolved now, or raises the
// count of a library already loaded. Returns its handle, or 0 with
// ERROR_MOD_NOT_FOUND when it cannot be loaded (the loader's message goes to
// the trace). Any thread.
ZEL_PLATFORM_EXPORT HMODULE LoadLibrary(const char* path) noexcept;

// Closes the handle; the library is unloaded with its last handle. False
// with ERROR_INVALID_HANDLE for a handle that is not a module.
ZEL_PLATFORM_EXPORT bool FreeLibrary(HMODULE module) noexcept;

// Owns a module handle and frees it when it goes (handles.h).
using UniqueModule = UniqueHandleOf<&FreeLibrary>;

// The address of the exported function `name`, or null with
// ERROR_PROC_NOT_FOUND (ERROR_INVALID_HANDLE for a bad module handle).
ZEL_PLATFORM_EXPORT void* GetProcAddress(HMODULE module, const char* name) noexcept;

// The address of the function at `ordinal` of the module's ordinal table,
// or null with ERROR_PROC_NOT_FOUND when the table has no such entry or the
// entry's function is not exported.
ZEL_PLATFORM_EXPORT void* GetProcAddress(HMODULE module, Ordinal ordinal) noexcept;

// Copies the full path of the module's file (module 0: the running
// executable) into `buffer` with a NUL and returns its length. When the
// buffer is too small the path is cut to size - 1 characters, and the
// result is `size` with ERROR_INSUFFICIENT_BUFFER. 0 with the last error set
// on failure.
ZEL_PLATFORM_EXPORT DWORD GetModuleFileName(HMODULE module, char* buffer, DWORD size) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_MODULE_H
