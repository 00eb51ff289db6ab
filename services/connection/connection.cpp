// QlxCo: system objects, the sign-on connection (service 11), and the
// configured system names.
#include "services/connection.h"

#include <cstring>
#include <vector>

#include "wire/protocol.h"
#include "base/barrier.h"
#include "base/config.h"
#include "services/connection/dq_token.h"
#include "services/connection/error_report.h"
#include "services/connection/system.h"
#include "services/connection/system_config.h"

ZEL_MODULE("QlxCo")

namespace zel::qlx {
namespace {

constexpr Millis kConnectTimeout{10'000};
constexpr Millis kReceiveTimeout{60'000};
constexpr uint32_t kTokenMagic = 0x5A4C4354;  // "ZLCT"

HandleKind ServiceKind() {
  static const HandleKind kind = platform::RegisterHandleKind("qlx service handle");
  return kind;
}

HandleKind SystemListKind() {
  static const HandleKind kind = platform::RegisterHandleKind("qlx system list");
  return kind;
}

// A service handle: the sign-on connection of one system object.
struct ServiceLink : ServiceObject {
  explicit ServiceLink(std::shared_ptr<SystemObject> of)
      : ServiceObject(ServiceKind()), system(std::move(of)) {}
  const std::shared_ptr<SystemObject> system;
};

struct SystemList : ServiceObject {
  SystemList() : ServiceObject(SystemListKind()) {}
  std::vector<std::string> names;  // fixed once the handle is out
  std::mutex mutex;                // guards `next`
  size_t next = 0;
};

// The token that qlxCO_GetConnToken writes into the caller's work area.
struct ConnToken {
  wire::Be32 magic;
  wire::Be32 connection_id;
  uint8_t unused[8];
};
static_assert(sizeof(ConnToken) == QLXCO_TOKEN_SIZE);

std::shared_ptr<SystemObject> System(uint32_t handle) {
  return Reference<SystemObject>(handle, SystemKind());
}

// Copies `text` and a NUL into a buffer of `size` bytes; false when it does not fit.
bool CopyOut(const std::string& text, char* buffer, uint32_t size) {
  if (buffer == nullptr || text.size() + 1 > size) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

// Forgets the data-queue token of `system` and removes its file; call with
// system.mutex held.
void DropToken(SystemObject& system) {
  if (!system.token_file.empty()) RemoveDqToken(system.token_file, system.token);
  system.token.clear();
  system.token_file.clear();
}

// Asks the host for the data-queue token of a new sign-on connection; false
// with `why`.
bool RequestToken(Socket& link, std::string& token, std::string& why) {
  wire::SignOnFrameHeader request{};
  request.length.set(sizeof request);
  request.marker = wire::kFrameMarker;
  request.kind = wire::kFrameToken;
  wire::SignOnFrameHeader answer{};
  wire::SignOnToken reply{};
  if (!link.SendAll(std::string_view(reinterpret_cast<const char*>(&request), sizeof request),
                    why) ||
      !link.ReceiveExact(&answer, sizeof answer, kConnectTimeout, why)) {
    return false;
  }
  if (answer.kind != wire::kFrameToken || answer.length.get() != sizeof answer + sizeof reply) {
    why = "the host answered the token request with something else";
    return false;
  }
  if (!link.ReceiveExact(&reply, sizeof reply, kConnectTimeout, why)) return false;
  token.assign(reinterpret_cast<const char*>(reply.token), sizeof reply.token);
  return true;
}

// Takes the host's token notice, which names the queue the token opens, and
// keeps the token there for the user's other processes; false with `why`.
bool KeepToken(SystemObject& system, std::string_view payload, std::string& why) {
  if (payload.size() != sizeof(wire::SignOnToken)) {
    why = "token notice of " + std::to_string(payload.size()) + " bytes";
    return false;
  }
  wire::SignOnToken notice;
  std::memcpy(&notice, payload.data(), sizeof notice);
  std::string library = wire::UnpadName(notice.library);
  std::string queue = wire::UnpadName(notice.queue);
  std::lock_guard lock(system.mutex);
  DropToken(system);
  system.token.assign(reinterpret_cast<const char*>(notice.token), sizeof notice.token);
  if (library.empty() || queue.empty()) return true;
  std::string path = DqTokenPath(system.address, library, queue, &why);
  if (path.empty() || !StoreDqToken(path, system.token, &why)) return false;
  system.token_file = path;
  return true;
}

uint32_t SignOn(SystemObject& system, uint32_t error_handle) {
  std::string why;
  // The data-queue token needs the private directory: a sign-on that could
  // not keep it fails now, with the reason, rather than the applications later.
  if (config::PrivateDir(&why).empty()) {
    return Fail(error_handle, QLXCO_RC_CONNECT, "system " + system.name + ": " + why);
  }
  std::shared_ptr<Socket> link = Socket::Connect(system.address, kConnectTimeout, why);
  if (!link) return Fail(error_handle, QLXCO_RC_CONNECT, "system " + system.name + ": " + why);
  std::string user = system.user;
  if (user.empty() && system.sign_on_mode != QLXCO_SIGNON_USE_SET) user = system.configured_user;
  wire::SignOnFrameHeader header{};
  header.length.set(sizeof header + sizeof(wire::SignOnRequest));
  header.marker = wire::kFrameMarker;
  header.kind = wire::kFramePreamble;
  wire::SignOnRequest request{};
  std::memcpy(request.user, user.data(), std::min(user.size(), sizeof request.user));
  std::memcpy(request.password, system.password.data(),
              std::min(system.password.size(), sizeof request.password));
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(reinterpret_cast<const char*>(&request), sizeof request);
  wire::SignOnFrameHeader answer{};
  wire::SignOnReply reply{};
  bool ok =
      link->SendAll(frame, why) && link->ReceiveExact(&answer, sizeof answer, kConnectTimeout, why);
  if (ok && (answer.kind != wire::kFramePreamble ||
             answer.length.get() != sizeof answer + sizeof reply)) {
    ok = false;
    why = "the host answered the sign-on with something else";
  }
  ok = ok && link->ReceiveExact(&reply, sizeof reply, kConnectTimeout, why);
  if (!ok)
    return Fail(error_handle, QLXCO_RC_CONNECT, "system " + system.name + ": sign-on: " + why);
  if (reply.rc.get() != 0) {
    return Fail(error_handle, QLXCO_RC_SIGNON_REFUSED,
                "system " + system.name + ": the host refused user '" + user + "'");
  }
  std::string token;
  if (!RequestToken(*link, token, why)) {
    return Fail(error_handle, QLXCO_RC_CONNECT,
                "system " + system.name + ": data-queue token: " + why);
  }
  system.token = std::move(token);
  system.link = std::move(link);
  system.connection_id = static_cast<uint32_t>(reply.connection_id.get());
  system.signed_on_user = std::string(reply.user, strnlen(reply.user, sizeof reply.user));
  return QLXCO_RC_OK;
}

// The sign-on connection behind a service handle, and its system object;
// null with `rc` QLXCO_RC_INVALID_HANDLE or QLXCO_RC_NOT_CONNECTED.
std::shared_ptr<Socket> Link(uint32_t service_handle, std::shared_ptr<SystemObject>& system,
                             uint32_t& rc) {
  auto service = Reference<ServiceLink>(service_handle, ServiceKind());
  if (!service) {
    rc = QLXCO_RC_INVALID_HANDLE;
    return nullptr;
  }
  system = service->system;
  std::lock_guard lock(system->mutex);
  rc = system->link ? QLXCO_RC_OK : QLXCO_RC_NOT_CONNECTED;
  return system->link;
}

}  // namespace

HandleKind SystemKind() {
  static const HandleKind kind = platform::RegisterHandleKind("qlx system object");
  return kind;
}

}  // namespace zel::qlx

using namespace zel::qlx;
namespace wire = zel::wire;

extern "C" {

uint32_t qlxCO_CreateSystem(const char* pszSystemName, uint32_t* phSystem) noexcept try {
  if (pszSystemName == nullptr || phSystem == nullptr) return QLXCO_RC_INVALID_PARAMETER;
  *phSystem = 0;
  SystemConfig config;
  std::string error;
  if (!LoadSystemConfig(config, error)) return Fail(0, QLXCO_RC_CONFIG, error);
  const ConfiguredSystem* configured = config.Find(pszSystemName);
  if (configured == nullptr) {
    return Fail(0, QLXCO_RC_NOT_CONFIGURED,
                std::string("system ") + pszSystemName + " is not configured in " + config.path +
                    (config.missing ? " (there is no such file)" : ""));
  }
  auto system = std::make_shared<SystemObject>();
  system->name = configured->name;
  system->address = configured->address;
  system->configured_user = config.user;
  *phSystem = Insert(system);
  return *phSystem == 0 ? QLXCO_RC_NO_MEMORY : QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_DeleteSystem(uint32_t hSystem) noexcept try {
  auto system = Close<SystemObject>(hSystem, SystemKind());
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  std::lock_guard lock(system->mutex);
  system->deleted = true;
  if (system->link) system->link->Shutdown();
  system->link.reset();
  DropToken(*system);
  system->dq.reset();
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_SetUserID(uint32_t hSystem, const char* pszUserID) noexcept try {
  auto system = System(hSystem);
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  if (pszUserID == nullptr || std::strlen(pszUserID) > 10) return QLXCO_RC_INVALID_PARAMETER;
  std::lock_guard lock(system->mutex);
  system->user = pszUserID;
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_SetPassword(uint32_t hSystem, const char* pszPassword) noexcept try {
  auto system = System(hSystem);
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  if (pszPassword == nullptr || std::strlen(pszPassword) > 32) return QLXCO_RC_INVALID_PARAMETER;
  std::lock_guard lock(system->mutex);
  system->password = pszPassword;
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_SetSignOnMode(uint32_t hSystem, uint32_t ulMode) noexcept try {
  auto system = System(hSystem);
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  if (ulMode != QLXCO_SIGNON_DEFAULT && ulMode != QLXCO_SIGNON_USE_SET) {
    return QLXCO_RC_INVALID_PARAMETER;
  }
  std::lock_guard lock(system->mutex);
  system->sign_on_mode = ulMode;
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_GetUserID(uint32_t hSystem, char* pszUserID, uint32_t ulLength) noexcept try {
  auto system = System(hSystem);
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  std::lock_guard lock(system->mutex);
  std::string user = !system->user.empty()             ? system->user
                     : !system->signed_on_user.empty() ? system->signed_on_user
                                                       : system->configured_user;
  if (pszUserID == nullptr) return QLXCO_RC_INVALID_PARAMETER;
  return CopyOut(user, pszUserID, ulLength) ? QLXCO_RC_OK : QLXCO_RC_BUFFER_OVERFLOW;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_GetSignOnInfo(uint32_t hSystem, char* pszUserID, uint32_t ulUserSize,
                             char* pszPassword, uint32_t ulPasswordSize) noexcept try {
  auto system = System(hSystem);
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  if (pszUserID == nullptr || pszPassword == nullptr) return QLXCO_RC_INVALID_PARAMETER;
  std::lock_guard lock(system->mutex);
  if (!system->link) return QLXCO_RC_NOT_CONNECTED;
  if (system->signed_on_user.size() + 1 > ulUserSize ||
      system->password.size() + 1 > ulPasswordSize) {
    return QLXCO_RC_BUFFER_OVERFLOW;
  }
  CopyOut(system->signed_on_user, pszUserID, ulUserSize);
  CopyOut(system->password, pszPassword, ulPasswordSize);
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_Connect(uint32_t hSystem, uint32_t ulService, uint32_t hErr) noexcept try {
  auto system = System(hSystem);
  if (!system) return Fail(hErr, QLXCO_RC_INVALID_HANDLE, "not a system object of this process");
  if (ulService != QLXCO_SERVICE_SIGNON) {
    return Fail(hErr, QLXCO_RC_SERVICE, "service " + std::to_string(ulService) + " is not offered");
  }
  std::lock_guard lock(system->mutex);
  if (system->deleted) {
    return Fail(hErr, QLXCO_RC_INVALID_HANDLE, "system " + system->name + " was deleted");
  }
  if (system->link && !system->link->PeerClosed()) return QLXCO_RC_OK;
  system->link.reset();
  DropToken(*system);
  return SignOn(*system, hErr);
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_Disconnect(uint32_t hSystem, uint32_t ulService, uint32_t hErr) noexcept try {
  auto system = System(hSystem);
  if (!system) return Fail(hErr, QLXCO_RC_INVALID_HANDLE, "not a system object of this process");
  if (ulService != QLXCO_SERVICE_SIGNON) {
    return Fail(hErr, QLXCO_RC_SERVICE, "service " + std::to_string(ulService) + " is not offered");
  }
  std::lock_guard lock(system->mutex);
  if (!system->link) {
    return Fail(hErr, QLXCO_RC_NOT_CONNECTED, "system " + system->name + " is not connected");
  }
  system->link->Shutdown();
  system->link.reset();
  DropToken(*system);
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_TestConnection(uint32_t hSystem, uint32_t ulService, uint32_t* pulConnected) noexcept
    try {
  if (pulConnected != nullptr) *pulConnected = 0;
  auto system = System(hSystem);
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  if (ulService != QLXCO_SERVICE_SIGNON) return QLXCO_RC_SERVICE;
  std::lock_guard lock(system->mutex);
  if (!system->link || system->link->PeerClosed()) return QLXCO_RC_NOT_CONNECTED;
  if (pulConnected != nullptr) *pulConnected = 1;
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_GetSrvHandle(uint32_t hSystem, uint32_t ulService) noexcept try {
  auto system = System(hSystem);
  if (!system || ulService != QLXCO_SERVICE_SIGNON) return 0;
  {
    std::lock_guard lock(system->mutex);
    if (!system->link) return 0;
  }
  return Insert(std::make_shared<ServiceLink>(system));
} catch (...) {
  return ZEL_C_FAILURE(0u, 0u);
}

uint32_t qlxCO_ReleaseSrvHandle(uint32_t hSystem, uint32_t hSrvHandle) noexcept try {
  auto service = Reference<ServiceLink>(hSrvHandle, ServiceKind());
  if (!service || service->system != System(hSystem)) return QLXCO_RC_INVALID_HANDLE;
  return Close<ServiceLink>(hSrvHandle, ServiceKind()) ? QLXCO_RC_OK : QLXCO_RC_INVALID_HANDLE;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_Send(uint32_t hSrvHandle, const void* pData, uint32_t ulLength) noexcept try {
  std::shared_ptr<SystemObject> system;
  uint32_t rc = 0;
  std::shared_ptr<Socket> link = Link(hSrvHandle, system, rc);
  if (!link) return rc;
  if (pData == nullptr && ulLength != 0) return QLXCO_RC_INVALID_PARAMETER;
  std::lock_guard lock(system->send_mutex);
  std::string why;
  if (!link->SendAll(std::string_view(static_cast<const char*>(pData), ulLength), why)) {
    // A frame sent in part leaves the stream at an unknown point, as a
    // failed receive does: the link is shut.
    link->Shutdown();
    return Fail(0, QLXCO_RC_SEND, "system " + system->name + ": " + why);
  }
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_SendComplete(uint32_t hSrvHandle) noexcept try {
  std::shared_ptr<SystemObject> system;
  uint32_t rc = 0;
  Link(hSrvHandle, system, rc);
  return rc;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_Recv(uint32_t hSrvHandle, void* pBuffer, uint32_t* pulLength,
                    uint32_t ulCapacity) noexcept try {
  std::shared_ptr<SystemObject> system;
  uint32_t rc = 0;
  std::shared_ptr<Socket> link = Link(hSrvHandle, system, rc);
  if (!link) return rc;
  if (pulLength == nullptr || (pBuffer == nullptr && ulCapacity != 0)) {
    return QLXCO_RC_INVALID_PARAMETER;
  }
  std::lock_guard lock(system->receive_mutex);
  std::string why;
  wire::SignOnFrameHeader header{};
  // On the stack: a failed allocation here would leave the frame half read.
  char payload[wire::kMaxSignOnFrame];
  size_t payload_length = 0;
  // A token notice (it comes just before the station information) is the
  // service's own: kept, and the next frame read for the caller.
  do {
    // A receive that fails leaves the stream at an unknown point: an answer
    // arriving late would be taken for the answer to the next message. The
    // link is shut, so that every later call fails at once.
    if (!link->ReceiveExact(&header, sizeof header, kReceiveTimeout, why)) {
      link->Shutdown();
      return Fail(0, QLXCO_RC_RECEIVE, "system " + system->name + ": " + why);
    }
    size_t length = header.length.get();
    bool kind_ok = header.kind == wire::kFrameMessage || header.kind == wire::kFrameToken;
    if (header.marker != wire::kFrameMarker || !kind_ok || length < sizeof header ||
        length > wire::kMaxSignOnFrame) {
      link->Shutdown();  // the stream cannot be trusted past a bad frame
      return Fail(0, QLXCO_RC_RECEIVE,
                  "system " + system->name + ": malformed frame from the host");
    }
    payload_length = length - sizeof header;
    if (!link->ReceiveExact(payload, payload_length, kReceiveTimeout, why)) {
      link->Shutdown();
      return Fail(0, QLXCO_RC_RECEIVE, "system " + system->name + ": " + why);
    }
    if (header.kind == wire::kFrameToken &&
        !KeepToken(*system, std::string_view(payload, payload_length), why)) {
      link->Shutdown();
      return Fail(0, QLXCO_RC_RECEIVE,
                  "system " + system->name + ": cannot keep the data-queue token: " + why);
    }
  } while (header.kind == wire::kFrameToken);
  uint32_t count = std::min<uint32_t>(ulCapacity, static_cast<uint32_t>(payload_length));
  if (count != 0) std::memcpy(pBuffer, payload, count);
  *pulLength = count;
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

void* qlxCO_GetConnToken(uint32_t hSrvHandle, void* pWork) noexcept try {
  if (pWork == nullptr) return nullptr;
  std::shared_ptr<SystemObject> system;
  uint32_t rc = 0;
  if (!Link(hSrvHandle, system, rc)) return nullptr;
  ConnToken token{};
  token.magic.set(kTokenMagic);
  {
    std::lock_guard lock(system->mutex);
    token.connection_id.set(system->connection_id);
  }
  std::memcpy(pWork, &token, sizeof token);
  return pWork;
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

uint32_t qlxCO_GetTokenValue(const void* pToken) noexcept try {
  if (pToken == nullptr) return 0;
  ConnToken token;
  std::memcpy(&token, pToken, sizeof token);
  return token.magic.get() == kTokenMagic ? static_cast<uint32_t>(token.connection_id.get()) : 0;
} catch (...) {
  return ZEL_C_FAILURE(0u, 0u);
}

uint32_t qlxCO_GetSharePath(const char* pszSystemName, char* pszPath, uint32_t ulSize) noexcept
    try {
  if (pszSystemName == nullptr || pszPath == nullptr) return QLXCO_RC_INVALID_PARAMETER;
  SystemConfig config;
  std::string error;
  if (!LoadSystemConfig(config, error)) return Fail(0, QLXCO_RC_CONFIG, error);
  const ConfiguredShare* share = config.FindShare(pszSystemName);
  if (share == nullptr) {
    return Fail(0, QLXCO_RC_NOT_CONFIGURED,
                std::string("system ") + pszSystemName + " has no share in " + config.path);
  }
  if (!CopyOut(share->path, pszPath, ulSize)) {
    return Fail(0, QLXCO_RC_BUFFER_OVERFLOW, "share path longer than the buffer");
  }
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_GetDefaultSystemName(char* pszName, uint32_t ulSize, uint32_t hErr) noexcept try {
  if (pszName == nullptr) return Fail(hErr, QLXCO_RC_INVALID_PARAMETER, "null name buffer");
  SystemConfig config;
  std::string error;
  if (!LoadSystemConfig(config, error)) return Fail(hErr, QLXCO_RC_CONFIG, error);
  if (!CopyOut(config.default_system, pszName, ulSize)) {
    return Fail(hErr, QLXCO_RC_BUFFER_OVERFLOW, "default system name longer than the buffer");
  }
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_CreateSysList(uint32_t* phList) noexcept try {
  if (phList == nullptr) return QLXCO_RC_INVALID_PARAMETER;
  *phList = 0;
  SystemConfig config;
  std::string error;
  if (!LoadSystemConfig(config, error)) return Fail(0, QLXCO_RC_CONFIG, error);
  auto list = std::make_shared<SystemList>();
  for (const ConfiguredSystem& system : config.systems) list->names.push_back(system.name);
  *phList = Insert(list);
  return *phList == 0 ? QLXCO_RC_NO_MEMORY : QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_DeleteSysList(uint32_t hList) noexcept try {
  return Close<SystemList>(hList, SystemListKind()) ? QLXCO_RC_OK : QLXCO_RC_INVALID_HANDLE;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

uint32_t qlxCO_GetNextSysName(uint32_t hList, char* pszName, uint32_t ulSize,
                              uint32_t* pulNeeded) noexcept try {
  auto list = Reference<SystemList>(hList, SystemListKind());
  if (!list) return QLXCO_RC_INVALID_HANDLE;
  if (pszName == nullptr || pulNeeded == nullptr) return QLXCO_RC_INVALID_PARAMETER;
  std::lock_guard lock(list->mutex);
  if (list->next >= list->names.size()) return QLXCO_RC_END_OF_LIST;
  const std::string& name = list->names[list->next];
  *pulNeeded = static_cast<uint32_t>(name.size() + 1);
  if (!CopyOut(name, pszName, ulSize)) return QLXCO_RC_BUFFER_OVERFLOW;
  ++list->next;
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}

}  // extern "C"
