#include "services/platform_calls.h"

#include <atomic>

namespace zel::services {
namespace {

constexpr PlatformCalls kReal = {
#define ZEL_PLATFORM_REAL(name, failure) .name = platform_functions::name,
    ZEL_PLATFORM_CALLS(ZEL_PLATFORM_REAL)
#undef ZEL_PLATFORM_REAL
};

constexpr const char* kNames[] = {
#define ZEL_PLATFORM_NAME(name, failure) #name,
    ZEL_PLATFORM_CALLS(ZEL_PLATFORM_NAME)
#undef ZEL_PLATFORM_NAME
};

std::atomic<const PlatformCalls*> g_calls{&kReal};

// The table that armed faults stand in front of.
const PlatformCalls& Under() { return *g_calls.load(std::memory_order_acquire); }

#define ZEL_PLATFORM_NAME_OBJECT(name, failure) constexpr char name##_call[] = #name;
ZEL_PLATFORM_CALLS(ZEL_PLATFORM_NAME_OBJECT)
#undef ZEL_PLATFORM_NAME_OBJECT

constexpr PlatformCalls kFaulting = {
#define ZEL_PLATFORM_FAULTING(name, failure)                                                    \
  .name =                                                                                       \
      Faulting<PlatformCalls, decltype(PlatformCalls::name)>::Call<&PlatformCalls::name, Under, \
                                                                   name##_call, failure>,
    ZEL_PLATFORM_CALLS(ZEL_PLATFORM_FAULTING)
#undef ZEL_PLATFORM_FAULTING
};

}  // namespace

const PlatformCalls& Plat() { return CallFaultsArmed() ? kFaulting : Under(); }

const PlatformCalls& RealPlat() { return kReal; }

std::span<const char* const> PlatformCallNames() { return kNames; }

void SetPlatForTest(const PlatformCalls* calls) {
  g_calls.store(calls != nullptr ? calls : &kReal, std::memory_order_release);
}

}  // namespace zel::services
