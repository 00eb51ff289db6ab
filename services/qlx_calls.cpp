#include "services/qlx_calls.h"

#include <atomic>

#include "services/connection.h"
#include "services/dataqueue.h"
#include "services/errhandle.h"

namespace zel::services {
namespace {

constexpr QlxCalls kReal = {
    .qlxSV_CreateErrHandle = ::qlxSV_CreateErrHandle,
    .qlxSV_DeleteErrHandle = ::qlxSV_DeleteErrHandle,
    .qlxSV_GetErrText = ::qlxSV_GetErrText,
    .qlxSV_GetLastFailText = ::qlxSV_GetLastFailText,
    .qlxCO_CreateSystem = ::qlxCO_CreateSystem,
    .qlxCO_DeleteSystem = ::qlxCO_DeleteSystem,
    .qlxCO_SetUserID = ::qlxCO_SetUserID,
    .qlxCO_SetSignOnMode = ::qlxCO_SetSignOnMode,
    .qlxCO_GetUserID = ::qlxCO_GetUserID,
    .qlxCO_Connect = ::qlxCO_Connect,
    .qlxCO_Disconnect = ::qlxCO_Disconnect,
    .qlxCO_TestConnection = ::qlxCO_TestConnection,
    .qlxCO_GetSrvHandle = ::qlxCO_GetSrvHandle,
    .qlxCO_ReleaseSrvHandle = ::qlxCO_ReleaseSrvHandle,
    .qlxCO_Send = ::qlxCO_Send,
    .qlxCO_SendComplete = ::qlxCO_SendComplete,
    .qlxCO_Recv = ::qlxCO_Recv,
    .qlxCO_GetConnToken = ::qlxCO_GetConnToken,
    .qlxCO_GetTokenValue = ::qlxCO_GetTokenValue,
    .qlxCO_GetDefaultSystemName = ::qlxCO_GetDefaultSystemName,
    .qlxCO_GetNextSysName = ::qlxCO_GetNextSysName,
    .qlxDQ_CreateAttr = ::qlxDQ_CreateAttr,
    .qlxDQ_DeleteAttr = ::qlxDQ_DeleteAttr,
    .qlxDQ_SetMaxRecLen = ::qlxDQ_SetMaxRecLen,
    .qlxDQ_SetOrder = ::qlxDQ_SetOrder,
    .qlxDQ_SetKeySize = ::qlxDQ_SetKeySize,
    .qlxDQ_SetAuthority = ::qlxDQ_SetAuthority,
    .qlxDQ_SetForceToStorage = ::qlxDQ_SetForceToStorage,
    .qlxDQ_SetSenderID = ::qlxDQ_SetSenderID,
    .qlxDQ_CreateEx = ::qlxDQ_CreateEx,
    .qlxDQ_DeleteEx = ::qlxDQ_DeleteEx,
    .qlxDQ_OpenEx = ::qlxDQ_OpenEx,
    .qlxDQ_Close = ::qlxDQ_Close,
    .qlxDQ_CreateData = ::qlxDQ_CreateData,
    .qlxDQ_DeleteData = ::qlxDQ_DeleteData,
    .qlxDQ_SetDataAddr = ::qlxDQ_SetDataAddr,
    .qlxDQ_SetConvert = ::qlxDQ_SetConvert,
    .qlxDQ_SetKey = ::qlxDQ_SetKey,
    .qlxDQ_SetSearchOrder = ::qlxDQ_SetSearchOrder,
    .qlxDQ_GetRetKey = ::qlxDQ_GetRetKey,
    .qlxDQ_GetDataLen = ::qlxDQ_GetDataLen,
    .qlxDQ_Write = ::qlxDQ_Write,
    .qlxDQ_AsyncRead = ::qlxDQ_AsyncRead,
    .qlxDQ_CheckData = ::qlxDQ_CheckData,
};

std::atomic<const QlxCalls*> g_calls{&kReal};

}  // namespace

const QlxCalls& Qlx() { return *g_calls.load(std::memory_order_acquire); }

const QlxCalls& RealQlx() { return kReal; }

void SetQlxForTest(const QlxCalls* calls) {
  g_calls.store(calls != nullptr ? calls : &kReal, std::memory_order_release);
}

std::string ErrHandle::Text() const {
  char text[256] = {};
  Qlx().qlxSV_GetErrText(handle_, text, sizeof text);
  return text;
}

uint32_t ErrHandle::Release() {
  if (handle_ == 0) return 0;
  uint32_t rc = Qlx().qlxSV_DeleteErrHandle(handle_);
  handle_ = 0;
  return rc;
}

}  // namespace zel::services
