/*
 * Trace, error-point and thread-launch service (lib/libvqzmbtw.so).
 *
 * Every function of the system traces its entry, exit, notable values and
 * each error through this library. Trace calls are made only while
 * btTraceActive is nonzero; error points, error texts and thread launches are
 * never gated. The library opens the file named by ZEL_TRACE when it is
 * loaded; one line per record, written with a single append so that records
 * of many threads and processes never interleave.
 *
 * All functions may be called from any thread of any process. None ever
 * throws (in C++ they are noexcept): when tracing fails, for want of memory
 * or because a capture sink threw, the record is dropped and the caller
 * carries on.
 */
#ifndef ZEL_BASE_TRACE_H
#define ZEL_BASE_TRACE_H

#include <stddef.h>
#include <stdint.h>

#define BT_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define BT_NOEXCEPT noexcept
#else
#define BT_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The trace switch: nonzero while a trace file (or a capture sink) is open.
 * Read it with a relaxed atomic load; only this library writes it. */
BT_EXPORT extern int btTraceActive;

/* Trace operations. `tag` is the two-letter component tag ("CA", "CB", ...);
 * `number` is the trace point, negative for error traces. */
BT_EXPORT void btTraceEntry(const char* tag, const char* function) BT_NOEXCEPT;
BT_EXPORT void btTraceExit(const char* tag, const char* function) BT_NOEXCEPT;
BT_EXPORT void btTraceMsg(const char* tag, int32_t number, const char* text) BT_NOEXCEPT;
BT_EXPORT void btTraceRc(const char* tag, int32_t number, const char* text,
                         uint32_t value) BT_NOEXCEPT;
BT_EXPORT void btTraceSysRc(const char* tag, int32_t number, const char* text,
                            uint32_t value) BT_NOEXCEPT;
BT_EXPORT void btTraceSize(const char* tag, int32_t number, const char* text,
                           uint32_t value) BT_NOEXCEPT;
BT_EXPORT void btTraceResult(const char* tag, int32_t number, const char* text,
                             uint32_t value) BT_NOEXCEPT;
BT_EXPORT void btTraceLimit(const char* tag, int32_t number, const char* text,
                            uint32_t value) BT_NOEXCEPT;
BT_EXPORT void btTraceValue(const char* tag, int32_t number, uint32_t value) BT_NOEXCEPT;
BT_EXPORT void btTraceString(const char* tag, int32_t number, const char* label,
                             const char* string) BT_NOEXCEPT;
BT_EXPORT void btTraceDump(const char* tag, int32_t number, const char* label, const void* address,
                           uint32_t length) BT_NOEXCEPT;
BT_EXPORT void btTraceKey(const char* tag, int32_t number, const char* label, const void* address,
                          uint32_t length) BT_NOEXCEPT;
BT_EXPORT void btTraceBytes(const char* tag, int32_t number, const void* address,
                            uint32_t length) BT_NOEXCEPT;

/* Records an error point (tag "ue") in this process's ring and, while
 * tracing is on, in the trace. Always returns nonzero: the caller takes its
 * error path. */
BT_EXPORT int btErrorPoint(const char* tag, int32_t line, const char* label,
                           const char* module) BT_NOEXCEPT;

/* Fills `buffer` (NUL-terminated, at most `size` bytes) with the text of the
 * calling thread's last system error. */
BT_EXPORT void btGetSysErrorText(char* buffer, uint32_t size) BT_NOEXCEPT;

/* Starts a detached thread running function(argument). The stack size is
 * raised to what the platform and this system's code need. Returns -1 when
 * the thread cannot be started, 0 otherwise. */
BT_EXPORT int btLaunchThread(void (*function)(void*), uint32_t stack_size,
                             void* argument) BT_NOEXCEPT;

/* The stack size a thread asking for `requested` bytes gets: at least the
 * platform minimum and what this system's own code on a thread needs. */
BT_EXPORT size_t btThreadStackSize(size_t requested) BT_NOEXCEPT;

/* Nonzero when the configured PC code page (ZEL_PC_CODEPAGE) is double-byte. */
BT_EXPORT uint16_t bdIsDBCS(void) BT_NOEXCEPT;

/* ---- Extensions of this implementation (not part of the system's table) ---- */

/* Directs the trace to `path` (appending) and turns tracing on; a null path
 * turns it off. Returns 0, or the errno of a failed open (tracing then off). */
BT_EXPORT int btTraceOpen(const char* path) BT_NOEXCEPT;

/* Where btGetSysErrorText takes the thread's last error from. The platform
 * layer registers its per-thread last error when it is loaded; without a
 * source the text of errno is used. */
typedef void (*BtSysErrorSource)(char* buffer, uint32_t size);
BT_EXPORT void btSetSysErrorSource(BtSysErrorSource source) BT_NOEXCEPT;

/* One error point, as kept in the per-process ring. */
typedef struct BtErrorPointRecord {
  int64_t time_us; /* wall-clock time, microseconds since the epoch */
  uint32_t tid;    /* thread that raised it */
  int32_t line;    /* source line of the error test */
  char label[64];  /* error label, truncated if longer */
  char module[16]; /* module name, truncated if longer */
} BtErrorPointRecord;

/* Copies up to `max` of the most recent error points, oldest first, and
 * returns how many were copied. The ring keeps the last 64. */
BT_EXPORT uint32_t btGetErrorPoints(BtErrorPointRecord* out, uint32_t max) BT_NOEXCEPT;

/* A trace record as handed to a capture sink. Pointers are valid only for
 * the duration of the call. */
typedef struct BtRecord {
  const char* tag;    /* component tag, "ue" for error points */
  int32_t number;     /* trace point; the source line for error points */
  const char* op;     /* operation name without the "btTrace" prefix */
  const char* text;   /* function name, message, label; null when absent */
  const char* string; /* the string of btTraceString; the module of an error point */
  int has_value;      /* nonzero when `value` is meaningful */
  uint32_t value;     /* the 32-bit value of the number operations */
  const void* data;   /* dumped bytes, null when absent */
  uint32_t length;    /* length of `data` */
} BtRecord;

typedef void (*BtRecordSink)(const BtRecord* record, void* context);

/* Test hook: every record is also handed to `sink` (null removes it).
 * While a sink is set, tracing is on. */
BT_EXPORT void btSetRecordSink(BtRecordSink sink, void* context) BT_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */

namespace zel::trace {

// The switch test every trace call is gated on; a relaxed load costs the
// same as a plain one.
inline bool Active() noexcept { return __atomic_load_n(&btTraceActive, __ATOMIC_RELAXED) != 0; }

inline void Msg(const char* tag, int32_t number, const char* text) noexcept {
  if (Active()) btTraceMsg(tag, number, text);
}
inline void Rc(const char* tag, int32_t number, const char* text, uint32_t value) noexcept {
  if (Active()) btTraceRc(tag, number, text, value);
}
inline void SysRc(const char* tag, int32_t number, const char* text, uint32_t value) noexcept {
  if (Active()) btTraceSysRc(tag, number, text, value);
}
inline void Size(const char* tag, int32_t number, const char* text, uint32_t value) noexcept {
  if (Active()) btTraceSize(tag, number, text, value);
}
inline void Result(const char* tag, int32_t number, const char* text, uint32_t value) noexcept {
  if (Active()) btTraceResult(tag, number, text, value);
}
inline void Limit(const char* tag, int32_t number, const char* text, uint32_t value) noexcept {
  if (Active()) btTraceLimit(tag, number, text, value);
}
inline void Value(const char* tag, int32_t number, uint32_t value) noexcept {
  if (Active()) btTraceValue(tag, number, value);
}
inline void String(const char* tag, int32_t number, const char* label, const char* s) noexcept {
  if (Active()) btTraceString(tag, number, label, s);
}
inline void Dump(const char* tag, int32_t number, const char* label, const void* address,
                 uint32_t length) noexcept {
  if (Active()) btTraceDump(tag, number, label, address, length);
}
inline void Key(const char* tag, int32_t number, const char* label, const void* address,
                uint32_t length) noexcept {
  if (Active()) btTraceKey(tag, number, label, address, length);
}
inline void Bytes(const char* tag, int32_t number, const void* address, uint32_t length) noexcept {
  if (Active()) btTraceBytes(tag, number, address, length);
}

// Traces the text of the calling thread's last system error, as the error
// paths do after a failed system call.
inline void SysErrorText(const char* tag, int32_t number = -100) noexcept {
  if (!Active()) return;
  char text[256];
  btGetSysErrorText(text, sizeof text);
  btTraceMsg(tag, number, text);
}

// Raises an error point; true when the caller must take its error path.
inline bool ErrorPoint(const char* label, int32_t line, const char* module) noexcept {
  return btErrorPoint("ue", line, label, module) != 0;
}

// Traces entry on construction and exit on destruction, so that every return
// path of a function traces its exit.
class FunctionScope {
 public:
  FunctionScope(const char* tag, const char* function) noexcept : tag_(tag), function_(function) {
    if (Active()) btTraceEntry(tag_, function_);
  }
  ~FunctionScope() {
    if (Active()) btTraceExit(tag_, function_);
  }
  FunctionScope(const FunctionScope&) = delete;
  FunctionScope& operator=(const FunctionScope&) = delete;

 private:
  const char* tag_;
  const char* function_;
};

}  // namespace zel::trace

// Declares the module a source file belongs to; error points carry it.
#define ZEL_MODULE(name)                                    \
  namespace {                                               \
  [[maybe_unused]] constexpr const char* kZelModule = name; \
  }

// Raises an error point of this file's module at this line; true when the
// caller must take its error path (always, with the real service).
#define ZEL_ERROR_POINT(label) ::zel::trace::ErrorPoint((label), __LINE__, kZelModule)

// Traces entry now and exit on every return of the enclosing function.
#define ZEL_TRACE_FUNCTION(tag, name) ::zel::trace::FunctionScope zel_function_scope_(tag, name)

#endif /* __cplusplus */

#endif /* ZEL_BASE_TRACE_H */
