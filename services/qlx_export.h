/* How the headers of libqlx mark their functions: exported, and noexcept
 * for C++ callers (each exported function is an exception barrier). C, so
 * that every service header can include it. */
#ifndef ZEL_SERVICES_QLX_EXPORT_H
#define ZEL_SERVICES_QLX_EXPORT_H

#ifndef QLX_EXPORT
#define QLX_EXPORT __attribute__((visibility("default")))
#endif
#ifndef QLX_NOEXCEPT
#ifdef __cplusplus
#define QLX_NOEXCEPT noexcept
#else
#define QLX_NOEXCEPT
#endif
#endif

#endif /* ZEL_SERVICES_QLX_EXPORT_H */
