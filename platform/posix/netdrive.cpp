// Logical drives and network drive connections: a connected letter is a
// symbolic link drives/<LETTER> to its folder, in the instance's folder
// under the user's state directory.
#include "platform/netdrive.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "base/config.h"
#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/last_error.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

constexpr char kTag[] = "PL";
constexpr char kProvider[] = "zelcomm network";
constexpr int kLocalDrive = 'C' - 'A';
constexpr int kDriveLetters = 26;

struct Connection {
  char letter;         // 'A' to 'Z'
  std::string remote;  // remote path
};

// A snapshot of the connections taken by WNetOpenEnum.
class EnumObject : public HandleObject {
 public:
  explicit EnumObject(std::vector<Connection> snapshot)
      : HandleObject(HandleKind::kNetEnum), connections(std::move(snapshot)) {}

  const std::vector<Connection> connections;
  size_t next = 0;  // next entry to hand out; used by one caller at a time
};

DWORD Result(DWORD error) {
  internal::SetError(error);
  return error;
}

// The drive number (0 for A:) of a local name "X:", or -1.
int DriveOf(const char* name) {
  if (name == nullptr || strlen(name) != 2 || name[1] != ':' ||
      !isalpha(static_cast<unsigned char>(name[0]))) {
    return -1;
  }
  return toupper(static_cast<unsigned char>(name[0])) - 'A';
}

// An absolute path of a folder.
bool ValidRemote(const char* remote) {
  return remote != nullptr && remote[0] == '/' && strlen(remote) < PATH_MAX;
}

std::string DrivesDir() {
  const char* state = getenv("XDG_STATE_HOME");
  std::string base =
      state != nullptr && state[0] != '\0'
          ? std::string(state)
          : std::string(getenv("HOME") != nullptr ? getenv("HOME") : "") + "/.local/state";
  return base + "/zel/" + config::Instance() + "/drives";
}

std::string LinkOf(int drive) { return DrivesDir() + "/" + static_cast<char>('A' + drive); }

std::vector<Connection> Snapshot() {
  std::vector<Connection> connections;
  char target[PATH_MAX];
  for (int drive = 0; drive < kDriveLetters; ++drive) {
    ssize_t length = readlink(LinkOf(drive).c_str(), target, sizeof target);
    if (length <= 0 || length == static_cast<ssize_t>(sizeof target)) continue;
    connections.push_back({static_cast<char>('A' + drive), std::string(target, length)});
  }
  return connections;
}

size_t Align(size_t size) {
  return (size + alignof(NETRESOURCE) - 1) & ~(alignof(NETRESOURCE) - 1);
}

// Bytes one entry takes in an enumeration buffer.
size_t EntrySize(const Connection& connection) {
  return sizeof(NETRESOURCE) + 3 + connection.remote.size() + 1 + sizeof kProvider;
}

}  // namespace

DWORD GetLogicalDrives() noexcept try {
  DWORD drives = DWORD{1} << kLocalDrive;
  for (const Connection& connection : Snapshot()) drives |= DWORD{1} << (connection.letter - 'A');
  return drives;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(DWORD{1} << kLocalDrive);
}

DWORD WNetOpenEnum(DWORD scope, DWORD type, DWORD, const NETRESOURCE* root,
                   HANDLE* enumeration) noexcept try {
  if (enumeration == nullptr) return Result(ERROR_INVALID_PARAMETER);
  *enumeration = 0;
  if (scope != RESOURCE_CONNECTED || root != nullptr) return Result(ERROR_NOT_SUPPORTED);
  std::vector<Connection> connections;
  if (type == RESOURCETYPE_ANY || type == RESOURCETYPE_DISK) connections = Snapshot();
  HANDLE handle = InsertHandle(std::make_shared<EnumObject>(std::move(connections)));
  if (handle == 0) return GetLastError();
  *enumeration = handle;
  return Result(NO_ERROR);
} catch (...) {
  return ZEL_PLATFORM_ERROR();
}

DWORD WNetEnumResource(HANDLE enumeration, DWORD* count, void* buffer, DWORD* buffer_size) noexcept
    try {
  auto object = ReferenceHandleAs<EnumObject>(enumeration, HandleKind::kNetEnum);
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  if (count == nullptr || buffer_size == nullptr || (buffer == nullptr && *buffer_size != 0)) {
    return Result(ERROR_INVALID_PARAMETER);
  }
  const std::vector<Connection>& connections = object->connections;
  if (object->next >= connections.size()) return Result(ERROR_NO_MORE_ITEMS);
  // Records from the front of the buffer, their strings from the back.
  size_t records = 0;
  size_t strings = 0;
  DWORD wanted = *count;
  DWORD copied = 0;
  char* base = static_cast<char*>(buffer);
  while (object->next < connections.size() && copied < wanted) {
    const Connection& connection = connections[object->next];
    size_t record_end = Align(records + sizeof(NETRESOURCE));
    if (record_end + strings + EntrySize(connection) - sizeof(NETRESOURCE) > *buffer_size) break;
    auto place = [&](const char* text, size_t length) {
      strings += length + 1;
      char* at = base + *buffer_size - strings;
      memcpy(at, text, length);
      at[length] = '\0';
      return at;
    };
    char local[3] = {connection.letter, ':', '\0'};
    NETRESOURCE entry{RESOURCE_CONNECTED,
                      RESOURCETYPE_DISK,
                      RESOURCEDISPLAYTYPE_SHARE,
                      RESOURCEUSAGE_CONNECTABLE,
                      place(local, 2),
                      place(connection.remote.c_str(), connection.remote.size()),
                      nullptr,
                      place(kProvider, sizeof kProvider - 1)};
    memcpy(base + records, &entry, sizeof entry);
    records = record_end;
    ++copied;
    ++object->next;
  }
  if (copied == 0) {
    *buffer_size =
        static_cast<DWORD>(Align(sizeof(NETRESOURCE)) + EntrySize(connections[object->next]));
    return Result(ERROR_MORE_DATA);
  }
  *count = copied;
  return Result(NO_ERROR);
} catch (...) {
  return ZEL_PLATFORM_ERROR();
}

DWORD WNetCloseEnum(HANDLE enumeration) noexcept try {
  if (!CloseHandleOfKind(enumeration, HandleKind::kNetEnum)) return ERROR_INVALID_HANDLE;
  return Result(NO_ERROR);
} catch (...) {
  return ZEL_PLATFORM_ERROR();
}

DWORD WNetAddConnection2(const NETRESOURCE* resource, const char*, const char*, DWORD) noexcept
    try {
  if (resource == nullptr ||
      (resource->dwType != RESOURCETYPE_DISK && resource->dwType != RESOURCETYPE_ANY)) {
    return Result(ERROR_INVALID_PARAMETER);
  }
  int drive = DriveOf(resource->lpLocalName);
  if (drive < 0) return Result(ERROR_BAD_DEVICE);
  if (!ValidRemote(resource->lpRemoteName)) return Result(ERROR_BAD_NET_NAME);
  if (drive == kLocalDrive) return Result(ERROR_ALREADY_ASSIGNED);
  std::error_code made;
  std::filesystem::create_directories(DrivesDir(), made);
  // The link is made whole or not at all: another process finds the letter
  // taken or free, never half made.
  if (symlink(resource->lpRemoteName, LinkOf(drive).c_str()) != 0) {
    return Result(errno == EEXIST ? ERROR_ALREADY_ASSIGNED : ERROR_NO_NETWORK);
  }
  trace::String(kTag, 80, resource->lpLocalName, resource->lpRemoteName);
  return Result(NO_ERROR);
} catch (...) {
  return ZEL_PLATFORM_ERROR();
}

DWORD WNetCancelConnection2(const char* name, DWORD, bool) noexcept try {
  int drive = DriveOf(name);
  if (drive < 0) return Result(ERROR_NOT_CONNECTED);
  std::string link = LinkOf(drive);
  struct stat info {};
  if (lstat(link.c_str(), &info) != 0 || !S_ISLNK(info.st_mode) || unlink(link.c_str()) != 0) {
    return Result(ERROR_NOT_CONNECTED);
  }
  return Result(NO_ERROR);
} catch (...) {
  return ZEL_PLATFORM_ERROR();
}

}  // namespace zel::platform
