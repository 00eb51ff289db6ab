/*
 * Data conversion of the component: character arrays between the PC code
 * page and the host's EBCDIC, packets between their PC and host layouts,
 * the PC form of the double-byte blank, and whether message boxes read
 * right to left.
 *
 * Every function may be called from any thread and holds no lock; all
 * return a VqzmReturnCode (include/vqzmrc.h). None throws: a failure inside
 * returns 4 when memory ran out, 1026 otherwise.
 */
#ifndef ZEL_CONVERT_CONVERT_H
#define ZEL_CONVERT_CONVERT_H

#include <stdint.h>

#include "vqzmrc.h"

#ifndef VQZM_EXPORT
#define VQZM_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Converts `source_length` bytes from the PC code page to the host code
 * page of the default system into `target`. *target_length: in, the room in
 * `target`; out, the converted length. Source and target may be the same
 * buffer. Returns 0 (also for an empty source, which writes nothing), 4 when
 * the room is below the source length (*target_length then holds the source
 * length), or 1063 when the language service fails. */
VQZM_EXPORT uint16_t cbAscToEbcCharArray(void* target, const void* source, uint32_t* target_length,
                                         uint32_t source_length) VQZM_NOEXCEPT;

/* The same from the host code page to the PC code page. */
VQZM_EXPORT uint16_t cbEbcToAscCharArray(void* target, const void* source, uint32_t* target_length,
                                         uint32_t source_length) VQZM_NOEXCEPT;

/* The two bytes of the PC form of the double-byte blank (host 0E 40 40 0F).
 * Outside a double-byte environment both are 0 and the result is 0; on a
 * conversion failure both are 0 and the converter's code is returned. */
VQZM_EXPORT uint16_t cpGetDBSpaceValues(uint8_t* first, uint8_t* second) VQZM_NOEXCEPT;

/* Packet directions. */
enum { CS_TO_HOST = 1, CS_TO_PWS = 2 };

/* Converts the packet at `input` (`input_length` bytes from it to the end
 * of its buffer) in `direction` into `output`. *output_length: in, the room
 * in `output`; out, the packet's converted length, or on 4 the length it
 * needs. Returns 0, 4, 1061 (unsupported format) or 1063 (no room for an
 * LL, LL below 8 or past the end of the input, or a character conversion
 * failure). A direction other than 1 or 2 returns 0 and converts nothing. */
VQZM_EXPORT uint16_t csConvertPacket(uint16_t direction, void* output, uint32_t* output_length,
                                     const void* input, uint32_t input_length) VQZM_NOEXCEPT;

/* Converts a buffer of PC packets for the host into a new buffer from the
 * process heap (malloc), which the caller frees with free(). On failure
 * *output is null. An empty input gives a null buffer and length 0. */
VQZM_EXPORT uint16_t csConvertToRZ700DataBuf(void** output, uint32_t* output_length,
                                             const void* input,
                                             uint32_t input_length) VQZM_NOEXCEPT;

/* Converts a buffer of host packets for the PC into the caller's buffer.
 * *output_length: in, the room; out, the converted length, left unchanged
 * on failure. */
VQZM_EXPORT uint16_t csConvertToPWSDataBuf(void* output, uint32_t* output_length, const void* input,
                                           uint32_t input_length) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */

namespace zel::convert {

/* Style bits that make a message box read right to left, right aligned. */
inline constexpr uint32_t kRightToLeftStyle = 0x180000;

/* True when the installed language reads right to left: the ANSI code page
 * is 1255 or 1256 and the language library reports feature 2961 or 2954.
 * Decided once per process; when true the language library stays loaded. */
bool IsRightToLeft();

/* `style` with kRightToLeftStyle added when IsRightToLeft(); every message
 * box the system shows takes its style from here. */
uint32_t MessageBoxStyle(uint32_t style);

/* What the right-to-left decision needs of the platform: the ANSI code page
 * (by default the configured PC code page) and a loader for the libraries in
 * lib/ of the installation. */
struct RightToLeftPlatform {
  uint32_t (*ansi_code_page)();
  void* (*load_library)(const char* name);
  void* (*find_function)(void* library, const char* name);
  void (*free_library)(void* library);
};

/* Test hook: replaces the platform calls (null restores the defaults) and
 * forgets the decision. Not for use while other threads decide. */
void SetRightToLeftPlatformForTest(const RightToLeftPlatform* platform);

}  // namespace zel::convert

#endif /* __cplusplus */

#endif /* ZEL_CONVERT_CONVERT_H */
