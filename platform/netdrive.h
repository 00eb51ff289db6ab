// Logical drives and network drive connections.
//
// Drive letters mean nothing on Linux, yet the system asks which letters are
// in use and connects a letter to a host's shared folder. The workstation
// has one local drive, C:. A connected letter is a symbolic link
// drives/<LETTER> to the folder it stands for, in the instance's own folder
// under the user's state directory ($XDG_STATE_HOME/zel/<instance>/, else
// ~/.local/state/zel/<instance>/): every process of the instance sees the
// same connections, users can open them, and they stay until cancelled.
// Nothing is mounted; the remote name of a connection is the absolute path
// of its folder.
//
// All functions may be called from any thread; the WNet functions return
// an error number (NO_ERROR on success) and also set the last error.
#ifndef ZEL_PLATFORM_NETDRIVE_H
#define ZEL_PLATFORM_NETDRIVE_H

#include "platform/types.h"

namespace zel::platform {

// Bit n set: drive letter 'A' + n is in use (C: and every connected letter).
// Only C:, with the last error set, when the connections cannot be read.
ZEL_PLATFORM_EXPORT DWORD GetLogicalDrives() noexcept;

inline constexpr DWORD RESOURCE_CONNECTED = 0x00000001;
inline constexpr DWORD RESOURCETYPE_ANY = 0x00000000;
inline constexpr DWORD RESOURCETYPE_DISK = 0x00000001;
inline constexpr DWORD RESOURCETYPE_PRINT = 0x00000002;
inline constexpr DWORD RESOURCEDISPLAYTYPE_SHARE = 0x00000003;
inline constexpr DWORD RESOURCEUSAGE_CONNECTABLE = 0x00000001;

// WNetEnumResource: as many entries as fit.
inline constexpr DWORD kEnumAll = 0xFFFFFFFF;

// A network resource as the connection functions describe it.
struct NETRESOURCE {
  DWORD dwScope;        // RESOURCE_CONNECTED for an enumerated connection
  DWORD dwType;         // RESOURCETYPE_DISK
  DWORD dwDisplayType;  // RESOURCEDISPLAYTYPE_SHARE
  DWORD dwUsage;        // RESOURCEUSAGE_CONNECTABLE
  char* lpLocalName;    // drive letter and colon, e.g. "D:"
  char* lpRemoteName;   // the folder's absolute path, e.g. "/srv/share"
  char* lpComment;      // null
  char* lpProvider;     // the provider's name
};

// Begins an enumeration of the connected disk resources (scope
// RESOURCE_CONNECTED, type RESOURCETYPE_DISK or RESOURCETYPE_ANY; `usage`
// is not used for connected resources; `root` must be null). The
// enumeration sees the connections as they are now. Returns NO_ERROR and
// the enumeration's handle; ERROR_NOT_SUPPORTED for another scope or a
// root, ERROR_INVALID_PARAMETER for a null handle pointer.
ZEL_PLATFORM_EXPORT DWORD WNetOpenEnum(DWORD scope, DWORD type, DWORD usage,
                                       const NETRESOURCE* root, HANDLE* enumeration) noexcept;

// Copies up to `*count` entries (kEnumAll: as many as fit) into `buffer`:
// the NETRESOURCE records first, the strings they point to after them, all
// inside the buffer. Sets `*count` to the number copied. Returns NO_ERROR,
// ERROR_NO_MORE_ITEMS when the enumeration is finished, or ERROR_MORE_DATA
// with the needed size in `*buffer_size` when not even one entry fits.
ZEL_PLATFORM_EXPORT DWORD WNetEnumResource(HANDLE enumeration, DWORD* count, void* buffer,
                                           DWORD* buffer_size) noexcept;

// Ends the enumeration: NO_ERROR, or ERROR_INVALID_HANDLE.
ZEL_PLATFORM_EXPORT DWORD WNetCloseEnum(HANDLE enumeration) noexcept;

// Connects the drive letter `resource->lpLocalName` ("X:") to the folder
// `resource->lpRemoteName` ("/path"; it need not exist yet). The password
// and user name are accepted and not kept. Returns NO_ERROR;
// ERROR_BAD_DEVICE for a local name that is not a letter and a colon,
// ERROR_BAD_NET_NAME for a remote name that is not an absolute path,
// ERROR_ALREADY_ASSIGNED when the letter is in use, ERROR_INVALID_PARAMETER
// for a resource type other than disk or any, ERROR_NO_NETWORK when the
// link cannot be made.
ZEL_PLATFORM_EXPORT DWORD WNetAddConnection2(const NETRESOURCE* resource, const char* password,
                                             const char* user_name, DWORD flags) noexcept;

// Removes the connection of drive `name` ("X:"): NO_ERROR, or
// ERROR_NOT_CONNECTED when the letter has none.
ZEL_PLATFORM_EXPORT DWORD WNetCancelConnection2(const char* name, DWORD flags, bool force) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_NETDRIVE_H
