// How the client services (connection, data queues, error handles) keep
// their objects: in the platform's handle table (platform/handles.h), under
// kinds each service registers for itself. A handle of another process, a
// closed one or one of another kind is refused there.
//
// A child forked without exec inherits a copy of its parent's table, the
// parent's process tag included. The parent's objects (its sockets, its
// receiver threads) are not the child's to use or to destroy, so each object
// also remembers the process that made it and the look-ups below refuse it
// in any other; such a child never closes them either.
#ifndef ZEL_SERVICES_CONNECTION_SERVICE_OBJECT_H
#define ZEL_SERVICES_CONNECTION_SERVICE_OBJECT_H

#include <cstdint>
#include <memory>
#include <type_traits>

#include "platform/handles.h"

namespace zel::qlx {

using platform::HandleKind;

// Base of every object of the client services.
class ServiceObject : public platform::HandleObject {
 public:
  explicit ServiceObject(HandleKind kind) noexcept
      : HandleObject(kind), owner_(platform::GetCurrentProcessId()) {}

  bool MadeHere() const { return owner_ == platform::GetCurrentProcessId(); }

 private:
  const platform::DWORD owner_;  // the process that made the object
};

// The object of `handle` when it is an open handle of `kind` that this
// process made; null otherwise. The reference keeps the object alive while
// the caller uses it, however another thread closes the handle meanwhile.
// Any thread.
template <class T>
std::shared_ptr<T> Reference(uint32_t handle, HandleKind kind) {
  static_assert(std::is_base_of_v<ServiceObject, T>);
  std::shared_ptr<T> object = platform::ReferenceHandleAs<T>(handle, kind);
  if (object != nullptr && !object->MadeHere()) return nullptr;
  return object;
}

// Closes a handle that Reference accepts and returns its object, for the
// caller to finish with; null when the handle is not such a handle. When
// threads close one handle at once, exactly one of them gets the object.
template <class T>
std::shared_ptr<T> Close(uint32_t handle, HandleKind kind) {
  std::shared_ptr<T> object = Reference<T>(handle, kind);
  if (object == nullptr || !platform::CloseHandleOfKind(handle, kind)) return nullptr;
  return object;
}

// Puts a new object into the table; its handle, or 0 when the table is full
// (16,384 handles of every kind together in one process).
inline uint32_t Insert(std::shared_ptr<ServiceObject> object) {
  return platform::InsertHandle(std::move(object));
}

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_SERVICE_OBJECT_H
