/*
 * Return codes of the communication component (vqzmcsw): unsigned 16-bit
 * values, 0 for success. A number means the same thing in every function;
 * some operations also pass on a code returned by the host or an outside
 * library.
 */
#ifndef VQZMRC_H
#define VQZMRC_H

enum VqzmReturnCode {
  VQZM_RC_OK = 0,
  /* Out of memory; for a conversion, the target is too small. */
  VQZM_RC_NO_MEMORY = 4,
  /* Internal error: a kernel object or post failed, an invalid state, entry
   * type or format. */
  VQZM_RC_INTERNAL_ERROR = 1026,
  /* The packet format is not 0, 1, 2 or 3. */
  VQZM_RC_UNSUPPORTED_FORMAT = 1061,
  /* A character or packet conversion failed. */
  VQZM_RC_CONVERSION_FAILED = 1063
};

#endif /* VQZMRC_H */
