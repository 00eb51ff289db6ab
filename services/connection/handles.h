// Handles of the client-side services: 32-bit values that stand for an
// object of this process. The high 12 bits carry a tag drawn for the
// process, so that a handle read from a record another process wrote is
// refused instead of naming one of our objects; the low 20 bits number the
// object, and a number is reused only after about a million others.
//
// One table per process, safe from any thread. After fork() the child starts
// with an empty table and a new tag: its parent's objects (sockets, threads)
// are not its own.
#ifndef ZEL_SERVICES_CONNECTION_HANDLES_H
#define ZEL_SERVICES_CONNECTION_HANDLES_H

#include <cstdint>
#include <memory>

namespace zel::qlx {

enum class HandleKind : uint8_t {
  kSystem = 1,
  kService,
  kSystemList,
  kAttributes,
  kQueue,
  kData,
  kRead,
};

// Adds an object; returns its handle, 0 when the table is full.
uint32_t AddHandle(HandleKind kind, std::shared_ptr<void> object);
// The object of a live handle of this kind, else null.
std::shared_ptr<void> FindHandle(uint32_t handle, HandleKind kind);
// Removes a handle and returns its object (null when it was not live).
std::shared_ptr<void> RemoveHandle(uint32_t handle, HandleKind kind);

template <typename T>
std::shared_ptr<T> Find(uint32_t handle, HandleKind kind) {
  return std::static_pointer_cast<T>(FindHandle(handle, kind));
}

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_HANDLES_H
