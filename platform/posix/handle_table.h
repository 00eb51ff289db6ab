// The per-process handle table across fork (see library.cpp).
#ifndef ZEL_PLATFORM_POSIX_HANDLE_TABLE_H
#define ZEL_PLATFORM_POSIX_HANDLE_TABLE_H

namespace zel::platform::internal {

// Takes the table's lock before fork, in the forking thread; taken before
// the attach lock, as an insert that attaches takes them.
void LockHandleTableForFork();

// Releases it in the parent after fork.
void UnlockHandleTableInParent();

// In the child after fork: releases it; the parent's handles stay open,
// with the parent's tag, and new ones get the child's own tag.
void InheritHandleTableInChild();

// In the child after fork, before anything asks for the process id: the
// parent's id is forgotten.
void ForgetProcessIdInChild();

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_HANDLE_TABLE_H
