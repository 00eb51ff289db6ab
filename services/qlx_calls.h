// How the component reaches the client services of lib/libqlx.so: error
// handles (QlxSv), the host connection (QlxCo) and host data queues (QLXDQ).
// Every call goes through one table of function pointers, so that a unit
// test can make any single call fail (a qlxDQ_Write that fails, a connect
// that is refused) and reach the error branches that a real zelhost cannot
// be made to take.
//
// The table holds the real functions unless a test replaced it. Members
// carry the names and signatures of the service functions themselves
// (services/errhandle.h, connection.h, dataqueue.h), so a call site reads
// Qlx().qlxDQ_Write(...).
#ifndef ZEL_SERVICES_QLX_CALLS_H
#define ZEL_SERVICES_QLX_CALLS_H

#include <cstdint>
#include <string>

namespace zel::services {

struct QlxCalls {
  // QlxSv
  uint32_t (*qlxSV_CreateErrHandle)(uint32_t* handle);
  uint32_t (*qlxSV_DeleteErrHandle)(uint32_t handle);
  uint32_t (*qlxSV_GetErrText)(uint32_t handle, char* buffer, uint32_t size);
  uint32_t (*qlxSV_GetLastFailText)(char* buffer, uint32_t size);

  // QlxCo
  uint32_t (*qlxCO_CreateSystem)(const char* pszSystemName, uint32_t* phSystem);
  uint32_t (*qlxCO_DeleteSystem)(uint32_t hSystem);
  uint32_t (*qlxCO_SetUserID)(uint32_t hSystem, const char* pszUserID);
  uint32_t (*qlxCO_SetSignOnMode)(uint32_t hSystem, uint32_t ulMode);
  uint32_t (*qlxCO_GetUserID)(uint32_t hSystem, char* pszUserID, uint32_t ulLength);
  uint32_t (*qlxCO_Connect)(uint32_t hSystem, uint32_t ulService, uint32_t hErr);
  uint32_t (*qlxCO_Disconnect)(uint32_t hSystem, uint32_t ulService, uint32_t hErr);
  uint32_t (*qlxCO_TestConnection)(uint32_t hSystem, uint32_t ulService, uint32_t* pulConnected);
  uint32_t (*qlxCO_GetSrvHandle)(uint32_t hSystem, uint32_t ulService);
  uint32_t (*qlxCO_ReleaseSrvHandle)(uint32_t hSystem, uint32_t hSrvHandle);
  uint32_t (*qlxCO_Send)(uint32_t hSrvHandle, const void* pData, uint32_t ulLength);
  uint32_t (*qlxCO_SendComplete)(uint32_t hSrvHandle);
  uint32_t (*qlxCO_Recv)(uint32_t hSrvHandle, void* pBuffer, uint32_t* pulLength,
                         uint32_t ulCapacity);
  void* (*qlxCO_GetConnToken)(uint32_t hSrvHandle, void* pWork);
  uint32_t (*qlxCO_GetTokenValue)(const void* pToken);
  uint32_t (*qlxCO_GetDefaultSystemName)(char* pszName, uint32_t ulSize, uint32_t hErr);
  uint32_t (*qlxCO_GetNextSysName)(uint32_t hList, char* pszName, uint32_t ulSize,
                                   uint32_t* pulNeeded);

  // QLXDQ
  uint32_t (*qlxDQ_CreateAttr)();
  uint32_t (*qlxDQ_DeleteAttr)(uint32_t hAttr);
  uint32_t (*qlxDQ_SetMaxRecLen)(uint32_t hAttr, uint32_t ulMaxRecLen);
  uint32_t (*qlxDQ_SetOrder)(uint32_t hAttr, uint32_t ulOrder);
  uint32_t (*qlxDQ_SetKeySize)(uint32_t hAttr, uint32_t ulKeySize);
  uint32_t (*qlxDQ_SetAuthority)(uint32_t hAttr, uint32_t ulAuthority);
  uint32_t (*qlxDQ_SetForceToStorage)(uint32_t hAttr, uint32_t ulForce);
  uint32_t (*qlxDQ_SetSenderID)(uint32_t hAttr, uint32_t ulSenderID);
  uint32_t (*qlxDQ_CreateEx)(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                             uint32_t hAttr, uint32_t hErr);
  uint32_t (*qlxDQ_DeleteEx)(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                             uint32_t hErr);
  uint32_t (*qlxDQ_OpenEx)(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                           uint32_t* phQueue, uint32_t hErr);
  uint32_t (*qlxDQ_Close)(uint32_t hQueue);
  uint32_t (*qlxDQ_CreateData)();
  uint32_t (*qlxDQ_DeleteData)(uint32_t hData);
  uint32_t (*qlxDQ_SetDataAddr)(uint32_t hData, void* pData, uint32_t ulLength);
  uint32_t (*qlxDQ_SetConvert)(uint32_t hData, uint32_t ulConvert);
  uint32_t (*qlxDQ_SetKey)(uint32_t hData, const void* pKey, uint32_t ulKeyLength);
  uint32_t (*qlxDQ_SetSearchOrder)(uint32_t hData, uint32_t ulOrder);
  uint32_t (*qlxDQ_GetRetKey)(uint32_t hData, void* pKey);
  uint32_t (*qlxDQ_GetDataLen)(uint32_t hData, uint32_t* pulLength);
  uint32_t (*qlxDQ_Write)(uint32_t hQueue, uint32_t hData, uint32_t ulCommit, uint32_t hErr);
  uint32_t (*qlxDQ_AsyncRead)(uint32_t hQueue, uint32_t hData, int32_t lWait, uint32_t* phRead,
                              uint32_t hErr);
  uint32_t (*qlxDQ_CheckData)(uint32_t hRead, uint32_t hErr);
};

// The calls in effect. Any thread.
const QlxCalls& Qlx();

// The real functions of lib/libqlx.so, for a fake that changes a few calls
// and forwards the rest.
const QlxCalls& RealQlx();

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
