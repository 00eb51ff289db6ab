/*
 * National-language and conversion service (QLXNL, in lib/libqlx.so).
 *
 * Tells which code pages this workstation and its host systems use, where
 * the language's message files are, and converts text between code pages.
 *
 * Configuration: the PC code page is ZEL_PC_CODEPAGE (default 1252), the
 * host CCSID of every system is ZEL_HOST_CCSID (default 37); both are read
 * again on every call.
 *
 * Code pages converted (any to any):
 *   PC, single-byte:  437, 850, 1250, 1251, 1252, 1255, 1256
 *   PC, mixed:        932, 943 (one or two bytes a character)
 *   host, single-byte EBCDIC: 37, 273, 277, 278, 280, 284, 285, 297, 420,
 *                     424, 500, 871, 1140, 1141, 1148
 *   host, mixed EBCDIC: 930, 939, 1390, 1399 (double-byte runs between
 *                     shift-out 0x0E and shift-in 0x0F)
 * A CCSID names the code page of the same number; 5026 names 930 and 5035
 * names 939.
 *
 * Conversion results:
 *   0     converted; every character has its own image.
 *   6107  converted completely, but some characters were replaced by the
 *         target's substitution character (SUB: 0x3F in EBCDIC, 0x1A in the
 *         PC code pages) because the target code page lacks them or the
 *         source bytes were not valid text. The error number is 6107 and the
 *         error position the source offset of the first one replaced.
 *   other a failure (below); the target contents are undefined and the
 *         error handle holds the text.
 * Two single-byte code pages convert through round-trip tables: each of the
 * 256 byte values has exactly one image, characters that both code pages
 * have map to each other, and the rest are paired in order, so text that
 * goes to the host and back is never changed. Mixed conversions shift in and
 * out exactly where the text changes between single- and double-byte
 * characters and always end a double-byte run with shift-in.
 *
 * Every function may be called from any thread. Converters are cached
 * inside the service; callers keep no state between calls. No function
 * throws: one that fails inside returns QLXNL_NO_MEMORY or
 * QLXNL_INTERNAL_ERROR and raises the error point EXT_EXCEPTION; the error
 * handle is then left as it was.
 */
#ifndef ZEL_SERVICES_LANGUAGE_H
#define ZEL_SERVICES_LANGUAGE_H

#include <stdint.h>

#include "services/errhandle.h"

enum QlxNlResult {
  QLXNL_OK = 0,
  QLXNL_UNSUPPORTED_CODE_PAGE = 6101, /* no conversion to or from this code page */
  QLXNL_UNKNOWN_CCSID = 6102,         /* no code page for this CCSID */
  QLXNL_TARGET_TOO_SMALL = 6103,      /* the text was cut: *target_length is what fit */
  QLXNL_BUFFER_TOO_SMALL = 6104,      /* a result does not fit the caller's buffer */
  QLXNL_NO_MEMORY = 6105,             /* memory ran out */
  QLXNL_INTERNAL_ERROR = 6106,        /* the service failed inside (an unexpected exception) */
  QLXNL_SUBSTITUTED = 6107            /* converted with substitutions (see above) */
};

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the directory of the language's message files, ending in "/",
 * into `buffer` of `size` bytes, NUL included (function 15): the "msg"
 * directory of the installation (ZEL_HOME). */
QLX_EXPORT uint32_t qlxNL_GetMsgDirectory(char* buffer, uint32_t size,
                                          uint32_t error_handle) QLX_NOEXCEPT;

/* The workstation's code page. */
QLX_EXPORT uint32_t qlxNL_GetPcCodePage(uint32_t* code_page, uint32_t error_handle) QLX_NOEXCEPT;

/* The CCSID of host system `system_name`; null names the default system. */
QLX_EXPORT uint32_t qlxNL_GetHostCcsid(const char* system_name, uint32_t* ccsid,
                                       uint32_t error_handle) QLX_NOEXCEPT;

/* The code page a CCSID names; QLXNL_UNKNOWN_CCSID when there is none. */
QLX_EXPORT uint32_t qlxNL_GetCodePageOfCcsid(uint32_t ccsid, uint32_t* code_page,
                                             uint32_t error_handle) QLX_NOEXCEPT;

/* Converts `source_length` bytes of `source` from one code page to the
 * other into `target` (room for `target_capacity` bytes); *target_length
 * receives the converted length. Source and target may be the same buffer
 * or overlap. *error_number and *error_position receive 0 and 0, or the
 * condition and the source offset where it arose (also for a failure:
 * QLXNL_TARGET_TOO_SMALL at the first byte that did not fit). The error
 * handle may be 0 when the caller wants no text. */
QLX_EXPORT uint32_t qlxNL_ConvertCodePage(uint32_t source_code_page, uint32_t target_code_page,
                                          uint32_t source_length, uint32_t target_capacity,
                                          const void* source, void* target, uint32_t* error_number,
                                          uint32_t* error_position, uint32_t* target_length,
                                          uint32_t error_handle) QLX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

/*
 * The language library "qlxnl1.dll" (lib/qlxnl1.dll, loaded at run time by
 * the component) exports:
 *
 *   uint32_t qlxNL_LangGet(const char* system_name, char* buffer, uint32_t size);
 *
 * It copies the installed language's feature number, four digits and a NUL,
 * into `buffer` of `size` bytes and returns 0; QLXNL_BUFFER_TOO_SMALL or
 * QLXSV_INVALID_POINTER otherwise. The installed language follows the PC
 * code page: 2961 (Hebrew) for 1255, 2954 (Arabic) for 1256, 0000 (the base
 * language) for the rest. `system_name` is not used. It never throws, like
 * the functions above.
 */
typedef uint32_t (*QlxNlLangGetFunction)(const char* system_name, char* buffer, uint32_t size);

#endif /* ZEL_SERVICES_LANGUAGE_H */
