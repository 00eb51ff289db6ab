// How the component reaches the client services of lib/libqlx.so: error
// handles (QlxSv), the host connection (QlxCo), host data queues (QLXDQ),
// national language (QLXNL), administration (QlxAd) and QLXUNAPI. Every
// call goes through one table of function pointers, so that a unit test can
// make any single call fail (a qlxDQ_Write that fails, a connect that is
// refused) and reach the error branches that a real zelhost cannot be made
// to take; armed faults (services/call_faults.h) fail calls of this table.
//
// The table holds the real functions unless a test replaced it. Members
// carry the names and types of the service functions themselves, so a call
// site reads Qlx().qlxDQ_Write(...).
#ifndef ZEL_SERVICES_QLX_CALLS_H
#define ZEL_SERVICES_QLX_CALLS_H

#include <cstdint>
#include <span>
#include <string>

#include "services/admin.h"
#include "services/call_faults.h"
#include "services/connection.h"
#include "services/dataqueue.h"
#include "services/errhandle.h"
#include "services/language.h"
#include "services/unapi.h"

// Every member: its name and how an injected fault fails it (the result
// the service itself gives when it runs out of memory or handles).
#define ZEL_QLX_CALLS(X)                                    \
  X(qlxSV_CreateErrHandle, Return<QLXSV_NO_MEMORY>)         \
  X(qlxSV_DeleteErrHandle, Return<QLXSV_NO_MEMORY>)         \
  X(qlxSV_GetErrText, Return<QLXSV_NO_MEMORY>)              \
  X(qlxSV_GetLastFailText, Return<QLXSV_NO_MEMORY>)         \
  X(qlxCO_CreateSystem, Return<QLXCO_RC_NO_MEMORY>)         \
  X(qlxCO_DeleteSystem, Return<QLXCO_RC_NO_MEMORY>)         \
  X(qlxCO_SetUserID, Return<QLXCO_RC_NO_MEMORY>)            \
  X(qlxCO_SetSignOnMode, Return<QLXCO_RC_NO_MEMORY>)        \
  X(qlxCO_GetUserID, Return<QLXCO_RC_NO_MEMORY>)            \
  X(qlxCO_Connect, Return<QLXCO_RC_NO_MEMORY>)              \
  X(qlxCO_Disconnect, Return<QLXCO_RC_NO_MEMORY>)           \
  X(qlxCO_TestConnection, Return<QLXCO_RC_NO_MEMORY>)       \
  X(qlxCO_GetSrvHandle, Return<0>)                          \
  X(qlxCO_ReleaseSrvHandle, Return<QLXCO_RC_NO_MEMORY>)     \
  X(qlxCO_Send, Return<QLXCO_RC_NO_MEMORY>)                 \
  X(qlxCO_SendComplete, Return<QLXCO_RC_NO_MEMORY>)         \
  X(qlxCO_Recv, Return<QLXCO_RC_NO_MEMORY>)                 \
  X(qlxCO_GetConnToken, Return<nullptr>)                    \
  X(qlxCO_GetTokenValue, Return<0>)                         \
  X(qlxCO_GetSharePath, Return<QLXCO_RC_NO_MEMORY>)         \
  X(qlxCO_GetDefaultSystemName, Return<QLXCO_RC_NO_MEMORY>) \
  X(qlxCO_GetNextSysName, Return<QLXCO_RC_NO_MEMORY>)       \
  X(qlxDQ_CreateAttr, Return<0>)                            \
  X(qlxDQ_DeleteAttr, Return<QLXDQ_RC_NO_MEMORY>)           \
  X(qlxDQ_SetMaxRecLen, Return<QLXDQ_RC_NO_MEMORY>)         \
  X(qlxDQ_SetOrder, Return<QLXDQ_RC_NO_MEMORY>)             \
  X(qlxDQ_SetKeySize, Return<QLXDQ_RC_NO_MEMORY>)           \
  X(qlxDQ_SetAuthority, Return<QLXDQ_RC_NO_MEMORY>)         \
  X(qlxDQ_SetForceToStorage, Return<QLXDQ_RC_NO_MEMORY>)    \
  X(qlxDQ_SetSenderID, Return<QLXDQ_RC_NO_MEMORY>)          \
  X(qlxDQ_CreateEx, Return<QLXDQ_RC_NO_MEMORY>)             \
  X(qlxDQ_DeleteEx, Return<QLXDQ_RC_NO_MEMORY>)             \
  X(qlxDQ_OpenEx, Return<QLXDQ_RC_NO_MEMORY>)               \
  X(qlxDQ_Close, Return<QLXDQ_RC_NO_MEMORY>)                \
  X(qlxDQ_CreateData, Return<0>)                            \
  X(qlxDQ_DeleteData, Return<QLXDQ_RC_NO_MEMORY>)           \
  X(qlxDQ_SetDataAddr, Return<QLXDQ_RC_NO_MEMORY>)          \
  X(qlxDQ_SetConvert, Return<QLXDQ_RC_NO_MEMORY>)           \
  X(qlxDQ_SetKey, Return<QLXDQ_RC_NO_MEMORY>)               \
  X(qlxDQ_SetSearchOrder, Return<QLXDQ_RC_NO_MEMORY>)       \
  X(qlxDQ_GetRetKey, Return<QLXDQ_RC_NO_MEMORY>)            \
  X(qlxDQ_GetDataLen, Return<QLXDQ_RC_NO_MEMORY>)           \
  X(qlxDQ_Write, Return<QLXDQ_RC_NO_MEMORY>)                \
  X(qlxDQ_AsyncRead, Return<QLXDQ_RC_NO_MEMORY>)            \
  X(qlxDQ_CheckData, Return<QLXDQ_RC_NO_MEMORY>)            \
  X(qlxNL_GetMsgDirectory, Return<QLXNL_NO_MEMORY>)         \
  X(qlxNL_GetPcCodePage, Return<QLXNL_NO_MEMORY>)           \
  X(qlxNL_GetHostCcsid, Return<QLXNL_NO_MEMORY>)            \
  X(qlxNL_GetCodePageOfCcsid, Return<QLXNL_NO_MEMORY>)      \
  X(qlxNL_ConvertCodePage, Return<QLXNL_NO_MEMORY>)         \
  X(qlxAD_GetInstallDir, Return<QLXAD_RC_NO_MEMORY>)        \
  X(qlxUN_GetSystemHandle, Return<QLXCO_RC_NO_MEMORY>)

namespace zel::services {

struct QlxCalls {
#define ZEL_QLX_MEMBER(name, failure) PlainCall<decltype(&::name)>::type name;
  ZEL_QLX_CALLS(ZEL_QLX_MEMBER)
#undef ZEL_QLX_MEMBER
};

// The calls in effect. Any thread.
const QlxCalls& Qlx();

// The real functions of lib/libqlx.so, for a fake that changes a few calls
// and forwards the rest.
const QlxCalls& RealQlx();

// The members' names, in table order.
std::span<const char* const> QlxCallNames();

// Test hook: makes `calls` the table in effect (null restores the real
// one). The table must outlive its use; not while other threads call.
void SetQlxForTest(const QlxCalls* calls);

// An error handle of QlxSv for the length of one operation, made and
// deleted through Qlx(). Any thread; one operation at a time.
class ErrHandle {
 public:
  ErrHandle() : create_rc_(Qlx().qlxSV_CreateErrHandle(&handle_)) {}
  ~ErrHandle() { Release(); }
  ErrHandle(const ErrHandle&) = delete;
  ErrHandle& operator=(const ErrHandle&) = delete;

  // The create's result; nonzero when there is no handle.
  uint32_t create_rc() const { return create_rc_; }
  uint32_t get() const { return handle_; }

  // The text of the failure last recorded in the handle (empty when none).
  std::string Text() const;

  // Deletes the handle now; the delete's result, 0 when there was none.
  uint32_t Release();

 private:
  uint32_t handle_ = 0;
  uint32_t create_rc_;
};

}  // namespace zel::services

#endif  // ZEL_SERVICES_QLX_CALLS_H
