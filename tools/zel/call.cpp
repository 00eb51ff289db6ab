// zel call (to be written).
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"

namespace zel::tool {

int RunCall(int, char**, int) { return UsageError("call", "not built yet"); }

}  // namespace zel::tool
