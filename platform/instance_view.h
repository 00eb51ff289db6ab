// A look at an instance from outside it: for a tool that shows what the
// processes of an instance share without becoming one of them.
//
// An InstanceView opens the instance's files read-only and maps them
// read-only where the system chooses. It never creates a file, never takes
// a process slot (the instance does not count it as attached, and its end
// frees nothing), and takes no lock of the instance: what it reads may
// change while it reads, so copies are taken with Copy, which survives a
// file that shrinks under it, and whatever is read is checked before use.
//
// One thread uses a view; views of several threads are independent.
#ifndef ZEL_PLATFORM_INSTANCE_VIEW_H
#define ZEL_PLATFORM_INSTANCE_VIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace zel::platform {

// Use of the instance's global-memory heap as a walk of its blocks found it.
struct GlobalHeapUse {
  uint64_t size;         // bytes of the heap
  uint64_t used_blocks;  // allocated blocks
  uint64_t used_bytes;   // their bytes, headers included
  uint64_t free_bytes;   // bytes of free blocks, headers included
  bool whole;            // false when the walk met a header it could not read
};

class ZEL_PLATFORM_EXPORT InstanceView {
 public:
  enum class State {
    kAbsent,    // the instance has no files: nothing of it has run
    kDeserted,  // its files were left by processes that have all ended
    kLive,      // processes are attached to it
    kRefused,   // its files cannot be read or trusted; why() says why
  };

  InstanceView() = default;
  ~InstanceView();
  InstanceView(const InstanceView&) = delete;
  InstanceView& operator=(const InstanceView&) = delete;

  // Opens the instance named by ZEL_INSTANCE (default u<uid>). Call once.
  State Open();

  const std::string& name() const { return name_; }
  const std::string& why() const { return why_; }

  // The processes attached to the instance now.
  uint32_t AttachedProcesses() const;

  // True when `hwnd` is a window whose process lives; its process id then
  // goes to `process_id`.
  bool WindowAlive(HWND hwnd, DWORD* process_id) const;

  // A copy of the named region (a file mapping of the instance) as it is
  // now; empty when no live process holds a region of that name, or it
  // could not be read.
  std::vector<char> CopyRegion(const char* name) const;

  // Walks the global-memory heap; false when the instance has none.
  bool MeasureGlobalHeap(GlobalHeapUse* use) const;

 private:
  const void* MapFile(const std::string& file, size_t* size) const;

  std::string name_;
  std::string dir_;
  std::string why_;
  int fd_ = -1;                                               // the registry file, read-only
  const void* registry_ = nullptr;                            // its read-only mapping
  mutable std::vector<std::pair<const void*, size_t>> maps_;  // unmapped with the view
};

// Copies `size` bytes from `from`, which may lie in a mapping of a file
// that another process shrinks meanwhile; false, with `to` undefined, when
// the copy met a page that is no longer there. Any thread.
ZEL_PLATFORM_EXPORT bool Copy(void* to, const void* from, size_t size) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_INSTANCE_VIEW_H
