#include "services/qlx_calls.h"

#include <atomic>

namespace zel::services {
namespace {

constexpr QlxCalls kReal = {
#define ZEL_QLX_REAL(name, failure) .name = ::name,
    ZEL_QLX_CALLS(ZEL_QLX_REAL)
#undef ZEL_QLX_REAL
};

constexpr const char* kNames[] = {
#define ZEL_QLX_NAME(name, failure) #name,
    ZEL_QLX_CALLS(ZEL_QLX_NAME)
#undef ZEL_QLX_NAME
};

std::atomic<const QlxCalls*> g_calls{&kReal};

// The table that armed faults stand in front of.
const QlxCalls& Under() { return *g_calls.load(std::memory_order_acquire); }

#define ZEL_QLX_NAME_OBJECT(name, failure) constexpr char name##_call[] = #name;
ZEL_QLX_CALLS(ZEL_QLX_NAME_OBJECT)
#undef ZEL_QLX_NAME_OBJECT

constexpr QlxCalls kFaulting = {
#define ZEL_QLX_FAULTING(name, failure)                                                           \
  .name = Faulting<QlxCalls, decltype(QlxCalls::name)>::Call<&QlxCalls::name, Under, name##_call, \
                                                             failure>,
    ZEL_QLX_CALLS(ZEL_QLX_FAULTING)
#undef ZEL_QLX_FAULTING
};

}  // namespace

const QlxCalls& Qlx() { return CallFaultsArmed() ? kFaulting : Under(); }

const QlxCalls& RealQlx() { return kReal; }

std::span<const char* const> QlxCallNames() { return kNames; }

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
