// QLXDQ: attribute, data, queue and read handles over the data-queue
// connection of a system object.
#include "services/dataqueue.h"

#include <cstring>
#include <set>

#include "wire/names.h"
#include "wire/protocol.h"
#include "base/barrier.h"
#include "services/connection/dq_token.h"
#include "services/connection/error_report.h"
#include "services/connection/system.h"
#include "services/dataqueue/dq_client.h"

ZEL_MODULE("QLXDQ")

namespace zel::qlx {
namespace {

// How long qlxDQ_CheckData waits for a read's entry before it answers that
// the read is still in progress: long enough that an entry arriving while
// the caller polls is seen at once, short enough for the caller's own loop.
constexpr Millis kCheckWait{500};

// The handle kinds of this service, registered at first use.
struct Kinds {
  HandleKind attributes, queue, data, read;
};

const Kinds& DqKinds() {
  static const Kinds kinds{platform::RegisterHandleKind("qlx data-queue attributes"),
                           platform::RegisterHandleKind("qlx data queue"),
                           platform::RegisterHandleKind("qlx data-queue data object"),
                           platform::RegisterHandleKind("qlx data-queue read")};
  return kinds;
}

struct Attributes : ServiceObject {
  Attributes() : ServiceObject(DqKinds().attributes) {}
  std::mutex mutex;  // guards every field below
  uint32_t max_record_length = 8320;
  uint32_t order = QLXDQ_QUEUE_KEYED;
  uint32_t key_size = 12;
  uint32_t authority = 1;
  uint32_t force_to_storage = 0;
  uint32_t sender_id = 0;
};

struct DataObject : ServiceObject {
  DataObject() : ServiceObject(DqKinds().data) {}
  std::mutex mutex;  // guards every field below
  void* address = nullptr;
  uint32_t length = 0;
  std::string key;
  uint32_t order = QLXDQ_ORDER_EQ;
  bool have_result = false;  // the fields below hold the last entry read
  std::string result_key;
  uint32_t result_length = 0;
};

struct QueueObject : ServiceObject {
  QueueObject() : ServiceObject(DqKinds().queue) {}
  std::shared_ptr<DqClient> client;
  wire::DqQueueName name;
  std::string text;  // "LIBRARY/QUEUE" for messages
  uint32_t max_record_length = 0;
  uint32_t key_size = 0;
  std::mutex mutex;          // guards `closed` and `reads`
  bool closed = false;       // qlxDQ_Close ran: no further read joins `reads`
  std::set<uint32_t> reads;  // read handles not yet spent
};

struct ReadObject : ServiceObject {
  ReadObject() : ServiceObject(DqKinds().read) {}
  // A read that neither qlxDQ_CheckData nor qlxDQ_Close settled (its handle
  // was never handed out, or closed some other way) is given up here, so
  // that an entry it may still receive goes back to the queue.
  ~ReadObject() override {
    if (pending != nullptr && !settled) client->Abandon(pending, request_id);
  }

  std::shared_ptr<DqClient> client;
  std::shared_ptr<PendingReply> pending;
  uint32_t request_id = 0;
  std::shared_ptr<DataObject> data;
  void* address = nullptr;  // the data object's buffer when the read started
  uint32_t length = 0;
  std::shared_ptr<QueueObject> queue;
  bool settled = false;  // qlxDQ_CheckData took the outcome over
};

std::string Body(const void* object, size_t size) {
  return std::string(static_cast<const char*>(object), size);
}

// The system's data-queue connection, made or remade as needed.
std::shared_ptr<DqClient> ClientFor(uint32_t system_handle, uint32_t error_handle, uint32_t& rc) {
  auto system = Reference<SystemObject>(system_handle, SystemKind());
  if (!system) {
    rc = Fail(error_handle, QLXDQ_RC_INVALID_HANDLE, "not a system object of this process");
    return nullptr;
  }
  std::lock_guard lock(system->mutex);
  if (system->deleted) {
    rc = Fail(error_handle, QLXDQ_RC_INVALID_HANDLE, "system " + system->name + " was deleted");
    return nullptr;
  }
  if (system->dq && system->dq->alive()) return system->dq;
  std::string why;
  system->dq = DqClient::Connect(system->address, rc, why);
  if (!system->dq) rc = Fail(error_handle, rc, "system " + system->name + ": " + why);
  return system->dq;
}

std::string QueueText(const char* queue, const char* library) {
  return std::string(library) + "/" + queue;
}

// Shows the host the right to LIBRARY/QUEUE: the token of the system
// object's own sign-on, and the token a signed-on process of this user keeps
// for that queue. Without either the host decides (it refuses the queue
// unless the connection was let in before). False with `rc` when a kept
// token cannot be trusted or the connection is lost.
bool PresentTokens(uint32_t system_handle, DqClient& client, const char* queue, const char* library,
                   uint32_t error_handle, uint32_t& rc) {
  auto system = Reference<SystemObject>(system_handle, SystemKind());
  if (!system) return true;  // closed meanwhile: the request itself fails
  std::string own, address;
  {
    std::lock_guard lock(system->mutex);
    own = system->token;
    address = system->address;
  }
  std::string kept, why;
  if (LoadDqToken(address, library, queue, &kept, &why) == config::PrivateRead::kRefused) {
    rc = Fail(error_handle, QLXDQ_RC_REFUSED, "queue " + QueueText(queue, library) + ": " + why);
    return false;
  }
  for (const std::string& token : {own, kept}) {
    if (token.empty() || client.Present(token) != QLXDQ_RC_CONNECTION) continue;
    rc = Fail(error_handle, QLXDQ_RC_CONNECTION,
              "system " + system->name + ": the connection to the host was lost");
    return false;
  }
  return true;
}

// Resolves the common arguments of the named-queue operations.
std::shared_ptr<DqClient> QueueCall(uint32_t system_handle, const char* queue, const char* library,
                                    uint32_t error_handle, wire::DqQueueName& name, uint32_t& rc) {
  if (queue == nullptr || library == nullptr || !wire::ValidObjectName(queue) ||
      !wire::ValidObjectName(library)) {
    rc = Fail(error_handle, QLXDQ_RC_INVALID_PARAMETER,
              "queue and library names must have 1 to 10 letters, digits, _, $, # or @");
    return nullptr;
  }
  wire::PadName(queue, name.name);
  wire::PadName(library, name.library);
  std::shared_ptr<DqClient> client = ClientFor(system_handle, error_handle, rc);
  if (!client || !PresentTokens(system_handle, *client, queue, library, error_handle, rc)) {
    return nullptr;
  }
  return client;
}

std::string Explain(uint32_t rc) {
  switch (rc) {
    case QLXDQ_RC_NOT_FOUND:
      return "no such queue";
    case QLXDQ_RC_EXISTS:
      return "the queue exists already";
    case QLXDQ_RC_TOO_LONG:
      return "entry longer than the queue's maximum record length";
    case QLXDQ_RC_BUFFER_TOO_SMALL:
      return "the entry is longer than the buffer";
    case QLXDQ_RC_CONNECTION:
      return "the connection to the host was lost";
    case QLXDQ_RC_PROTOCOL:
      return "the host could not understand the request";
    case QLXDQ_RC_KEY_SIZE:
      return "key length differs from the queue's key size";
    case QLXDQ_RC_CANCELLED:
      return "the read was cancelled";
    case QLXDQ_RC_TIMEOUT:
      return "no entry arrived within the wait time";
    case QLXDQ_RC_INVALID_PARAMETER:
      return "the host refused a parameter";
    case QLXDQ_RC_NO_MEMORY:
      return "the host queue is full";
    case QLXDQ_RC_REFUSED:
      return "the host refused: no token of the PWS whose queue it is (is that PWS started?)";
    default:
      return "host result " + std::to_string(rc);
  }
}

template <typename Setter>
uint32_t SetAttribute(uint32_t handle, Setter set) {
  auto attributes = Reference<Attributes>(handle, DqKinds().attributes);
  if (!attributes) return QLXDQ_RC_INVALID_HANDLE;
  std::lock_guard lock(attributes->mutex);
  return set(*attributes) ? QLXDQ_RC_OK : QLXDQ_RC_INVALID_PARAMETER;
}

std::shared_ptr<DataObject> Data(uint32_t handle) {
  return Reference<DataObject>(handle, DqKinds().data);
}

}  // namespace
}  // namespace zel::qlx

using namespace zel::qlx;
namespace wire = zel::wire;

extern "C" {

uint32_t qlxDQ_CreateAttr(void) noexcept try {
  return Insert(std::make_shared<Attributes>());
} catch (...) {
  return ZEL_C_FAILURE(0u, 0u);
}

uint32_t qlxDQ_DeleteAttr(uint32_t hAttr) noexcept try {
  return Close<Attributes>(hAttr, DqKinds().attributes) ? QLXDQ_RC_OK : QLXDQ_RC_INVALID_HANDLE;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetMaxRecLen(uint32_t hAttr, uint32_t ulMaxRecLen) noexcept try {
  return SetAttribute(hAttr, [&](Attributes& a) {
    a.max_record_length = ulMaxRecLen;
    return ulMaxRecLen > 0 && ulMaxRecLen <= wire::kMaxRecordLength;
  });
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetOrder(uint32_t hAttr, uint32_t ulOrder) noexcept try {
  return SetAttribute(hAttr, [&](Attributes& a) {
    a.order = ulOrder;
    return ulOrder == QLXDQ_QUEUE_KEYED;
  });
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetKeySize(uint32_t hAttr, uint32_t ulKeySize) noexcept try {
  return SetAttribute(hAttr, [&](Attributes& a) {
    a.key_size = ulKeySize;
    return ulKeySize > 0 && ulKeySize <= wire::kMaxKeyLength;
  });
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetAuthority(uint32_t hAttr, uint32_t ulAuthority) noexcept try {
  return SetAttribute(hAttr, [&](Attributes& a) {
    a.authority = ulAuthority;
    return ulAuthority <= 0xFFFF;
  });
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetForceToStorage(uint32_t hAttr, uint32_t ulForce) noexcept try {
  return SetAttribute(hAttr, [&](Attributes& a) {
    a.force_to_storage = ulForce;
    return ulForce <= 1;
  });
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetSenderID(uint32_t hAttr, uint32_t ulSenderID) noexcept try {
  return SetAttribute(hAttr, [&](Attributes& a) {
    a.sender_id = ulSenderID;
    return ulSenderID <= 1;
  });
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_CreateEx(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                        uint32_t hAttr, uint32_t hErr) noexcept try {
  auto attributes = Reference<Attributes>(hAttr, DqKinds().attributes);
  if (!attributes) return Fail(hErr, QLXDQ_RC_INVALID_HANDLE, "not an attribute object");
  wire::DqCreateBody body{};
  uint32_t rc = 0;
  auto client = QueueCall(hSystem, pszQueue, pszLibrary, hErr, body.queue, rc);
  if (!client) return rc;
  {
    std::lock_guard lock(attributes->mutex);
    body.max_record_length.set(attributes->max_record_length);
    body.key_size.set(attributes->key_size);
    body.order.set(attributes->order);
    body.authority.set(attributes->authority);
    body.force_to_storage = static_cast<uint8_t>(attributes->force_to_storage);
    body.sender_id = static_cast<uint8_t>(attributes->sender_id);
  }
  rc = client->Call(wire::kCreate, Body(&body, sizeof body), nullptr);
  if (rc != 0) {
    return Fail(hErr, rc, "create queue " + QueueText(pszQueue, pszLibrary) + ": " + Explain(rc));
  }
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_DeleteEx(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                        uint32_t hErr) noexcept try {
  wire::DqQueueName name{};
  uint32_t rc = 0;
  auto client = QueueCall(hSystem, pszQueue, pszLibrary, hErr, name, rc);
  if (!client) return rc;
  client->Forget(Body(&name, sizeof name));
  rc = client->Call(wire::kDelete, Body(&name, sizeof name), nullptr);
  if (rc != 0) {
    return Fail(hErr, rc, "delete queue " + QueueText(pszQueue, pszLibrary) + ": " + Explain(rc));
  }
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_OpenEx(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                      uint32_t* phQueue, uint32_t hErr) noexcept try {
  if (phQueue == nullptr) return Fail(hErr, QLXDQ_RC_INVALID_PARAMETER, "null queue handle");
  *phQueue = 0;
  auto queue = std::make_shared<QueueObject>();
  uint32_t rc = 0;
  queue->client = QueueCall(hSystem, pszQueue, pszLibrary, hErr, queue->name, rc);
  if (!queue->client) return rc;
  queue->text = QueueText(pszQueue, pszLibrary);
  std::string reply;
  rc = queue->client->Open(Body(&queue->name, sizeof queue->name), &reply);
  if (rc == 0 && reply.size() != sizeof(wire::DqOpenReply)) rc = QLXDQ_RC_PROTOCOL;
  if (rc != 0) return Fail(hErr, rc, "open queue " + queue->text + ": " + Explain(rc));
  wire::DqOpenReply open;
  std::memcpy(&open, reply.data(), sizeof open);
  queue->max_record_length = static_cast<uint32_t>(open.max_record_length.get());
  queue->key_size = static_cast<uint32_t>(open.key_size.get());
  *phQueue = Insert(queue);
  return *phQueue == 0 ? Fail(hErr, QLXDQ_RC_NO_MEMORY, "no free handle") : QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_Close(uint32_t hQueue) noexcept try {
  auto queue = Close<QueueObject>(hQueue, DqKinds().queue);
  if (!queue) return QLXDQ_RC_INVALID_HANDLE;
  std::set<uint32_t> reads;
  {
    std::lock_guard lock(queue->mutex);
    queue->closed = true;
    reads.swap(queue->reads);
  }
  for (uint32_t handle : reads) {
    auto read = Close<ReadObject>(handle, DqKinds().read);
    if (read) read->client->Abandon(read->pending, read->request_id);
  }
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_CreateData(void) noexcept try {
  return Insert(std::make_shared<DataObject>());
} catch (...) {
  return ZEL_C_FAILURE(0u, 0u);
}

uint32_t qlxDQ_DeleteData(uint32_t hData) noexcept try {
  return Close<DataObject>(hData, DqKinds().data) ? QLXDQ_RC_OK : QLXDQ_RC_INVALID_HANDLE;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetDataAddr(uint32_t hData, void* pData, uint32_t ulLength) noexcept try {
  auto data = Data(hData);
  if (!data) return QLXDQ_RC_INVALID_HANDLE;
  if (pData == nullptr && ulLength != 0) return QLXDQ_RC_INVALID_PARAMETER;
  std::lock_guard lock(data->mutex);
  data->address = pData;
  data->length = ulLength;
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetConvert(uint32_t hData, uint32_t ulConvert) noexcept try {
  if (!Data(hData)) return QLXDQ_RC_INVALID_HANDLE;
  return ulConvert == 0 ? QLXDQ_RC_OK : QLXDQ_RC_INVALID_PARAMETER;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetKey(uint32_t hData, const void* pKey, uint32_t ulKeyLength) noexcept try {
  auto data = Data(hData);
  if (!data) return QLXDQ_RC_INVALID_HANDLE;
  if (pKey == nullptr || ulKeyLength == 0 || ulKeyLength > wire::kMaxKeyLength) {
    return QLXDQ_RC_INVALID_PARAMETER;
  }
  std::lock_guard lock(data->mutex);
  data->key.assign(static_cast<const char*>(pKey), ulKeyLength);
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_SetSearchOrder(uint32_t hData, uint32_t ulOrder) noexcept try {
  auto data = Data(hData);
  if (!data) return QLXDQ_RC_INVALID_HANDLE;
  if (ulOrder < QLXDQ_ORDER_EQ || ulOrder > QLXDQ_ORDER_LE) return QLXDQ_RC_INVALID_PARAMETER;
  std::lock_guard lock(data->mutex);
  data->order = ulOrder;
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_GetRetKey(uint32_t hData, void* pKey) noexcept try {
  auto data = Data(hData);
  if (!data) return QLXDQ_RC_INVALID_HANDLE;
  if (pKey == nullptr) return QLXDQ_RC_INVALID_PARAMETER;
  std::lock_guard lock(data->mutex);
  if (!data->have_result) return QLXDQ_RC_NOT_READ;
  std::memcpy(pKey, data->result_key.data(), data->result_key.size());
  static_cast<char*>(pKey)[data->result_key.size()] = '\0';
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_GetDataLen(uint32_t hData, uint32_t* pulLength) noexcept try {
  auto data = Data(hData);
  if (!data) return QLXDQ_RC_INVALID_HANDLE;
  if (pulLength == nullptr) return QLXDQ_RC_INVALID_PARAMETER;
  std::lock_guard lock(data->mutex);
  if (!data->have_result) return QLXDQ_RC_NOT_READ;
  *pulLength = data->result_length;
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_Write(uint32_t hQueue, uint32_t hData, uint32_t /*ulCommit*/, uint32_t hErr) noexcept
    try {
  auto queue = Reference<QueueObject>(hQueue, DqKinds().queue);
  auto data = Data(hData);
  if (!queue || !data) return Fail(hErr, QLXDQ_RC_INVALID_HANDLE, "not a queue or data object");
  std::string body;
  {
    std::lock_guard lock(data->mutex);
    if (data->key.size() != queue->key_size) {
      return Fail(hErr, QLXDQ_RC_KEY_SIZE,
                  "write to " + queue->text + ": " + Explain(QLXDQ_RC_KEY_SIZE));
    }
    if (data->length > queue->max_record_length) {
      return Fail(hErr, QLXDQ_RC_TOO_LONG,
                  "write to " + queue->text + ": " + std::to_string(data->length) + " bytes, " +
                      Explain(QLXDQ_RC_TOO_LONG));
    }
    wire::DqWriteBody write{};
    write.queue = queue->name;
    write.key_length.set(data->key.size());
    write.data_length.set(data->length);
    body.reserve(sizeof write + data->key.size() + data->length);
    body = Body(&write, sizeof write);
    body.append(data->key);
    body.append(static_cast<const char*>(data->address), data->length);
  }
  uint32_t rc = queue->client->Call(wire::kWrite, body, nullptr);
  if (rc == QLXDQ_RC_NOT_FOUND) queue->client->Forget(Body(&queue->name, sizeof queue->name));
  if (rc != 0) return Fail(hErr, rc, "write to " + queue->text + ": " + Explain(rc));
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_AsyncRead(uint32_t hQueue, uint32_t hData, int32_t lWait, uint32_t* phRead,
                         uint32_t hErr) noexcept try {
  auto queue = Reference<QueueObject>(hQueue, DqKinds().queue);
  auto data = Data(hData);
  if (!queue || !data) return Fail(hErr, QLXDQ_RC_INVALID_HANDLE, "not a queue or data object");
  if (phRead == nullptr || lWait < QLXDQ_WAIT_FOREVER) {
    return Fail(hErr, QLXDQ_RC_INVALID_PARAMETER, "null read handle or negative wait");
  }
  *phRead = 0;
  auto read = std::make_shared<ReadObject>();
  std::string body;
  {
    std::lock_guard lock(data->mutex);
    if (data->key.size() != queue->key_size) {
      return Fail(hErr, QLXDQ_RC_KEY_SIZE,
                  "read from " + queue->text + ": " + Explain(QLXDQ_RC_KEY_SIZE));
    }
    if (data->address == nullptr) {
      return Fail(hErr, QLXDQ_RC_INVALID_PARAMETER, "read without a buffer");
    }
    data->have_result = false;
    wire::DqReadBody request{};
    request.queue = queue->name;
    request.key_length.set(data->key.size());
    request.search_order.set(data->order);
    request.wait_seconds.set(lWait < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(lWait));
    request.buffer_size.set(data->length);
    body = Body(&request, sizeof request) + data->key;
    read->address = data->address;
    read->length = data->length;
  }
  read->client = queue->client;
  read->data = data;
  read->queue = queue;
  read->pending = queue->client->StartRead(body, read->request_id);
  if (!read->pending) {
    return Fail(hErr, QLXDQ_RC_CONNECTION,
                "read from " + queue->text + ": " + Explain(QLXDQ_RC_CONNECTION));
  }
  // From here on a failure drops the last reference to `read`, which gives
  // the read up.
  uint32_t handle = Insert(read);
  if (handle == 0) return Fail(hErr, QLXDQ_RC_NO_MEMORY, "no free handle");
  {
    std::lock_guard lock(queue->mutex);
    if (!queue->closed) {
      queue->reads.insert(handle);
      *phRead = handle;
      return QLXDQ_RC_OK;
    }
  }
  Close<ReadObject>(handle, DqKinds().read);
  return Fail(hErr, QLXDQ_RC_INVALID_HANDLE, "queue " + queue->text + " was closed");
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

uint32_t qlxDQ_CheckData(uint32_t hRead, uint32_t hErr) noexcept try {
  auto read = Reference<ReadObject>(hRead, DqKinds().read);
  if (!read) return Fail(hErr, QLXDQ_RC_INVALID_HANDLE, "not a read handle of this process");
  if (!read->client->WaitRead(read->pending, kCheckWait)) return QLXDQ_RC_IN_PROGRESS;
  // The read is over: its handle is spent, whatever the outcome.
  if (!Close<ReadObject>(hRead, DqKinds().read)) {
    return Fail(hErr, QLXDQ_RC_INVALID_HANDLE, "read handle already spent");
  }
  read->settled = true;
  {
    std::lock_guard lock(read->queue->mutex);
    read->queue->reads.erase(hRead);
  }
  const std::string where = "read from " + read->queue->text + ": ";
  if (read->pending->status == QLXDQ_RC_NOT_FOUND) {
    read->client->Forget(Body(&read->queue->name, sizeof read->queue->name));
  }
  if (read->pending->status != 0) {
    return Fail(hErr, read->pending->status, where + Explain(read->pending->status));
  }
  const std::string& body = read->pending->body;
  wire::DqReadReply reply{};
  if (body.size() >= sizeof reply) std::memcpy(&reply, body.data(), sizeof reply);
  size_t key_length = reply.key_length.get();
  size_t data_length = reply.data_length.get();
  uint64_t entry_id = reply.entry_id.get();
  if (body.size() < sizeof reply || body.size() != sizeof reply + key_length + data_length ||
      key_length != read->queue->key_size) {
    if (entry_id != 0) read->client->Release(entry_id);
    return Fail(hErr, QLXDQ_RC_PROTOCOL, where + Explain(QLXDQ_RC_PROTOCOL));
  }
  if (data_length > read->length) {
    read->client->Release(entry_id);
    return Fail(hErr, QLXDQ_RC_BUFFER_TOO_SMALL, where + Explain(QLXDQ_RC_BUFFER_TOO_SMALL));
  }
  // Kept only once the host has been told: an entry whose keeping cannot be
  // sent goes back to the queue with the connection, and the read fails.
  if (!read->client->Commit(entry_id)) {
    return Fail(hErr, QLXDQ_RC_CONNECTION, where + Explain(QLXDQ_RC_CONNECTION));
  }
  std::lock_guard lock(read->data->mutex);
  if (data_length != 0) {
    std::memcpy(read->address, body.data() + sizeof reply + key_length, data_length);
  }
  read->data->result_key = body.substr(sizeof reply, key_length);
  read->data->result_length = static_cast<uint32_t>(data_length);
  read->data->have_result = true;
  return QLXDQ_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXDQ_RC_NO_MEMORY, QLXDQ_RC_INTERNAL_ERROR);
}

}  // extern "C"
