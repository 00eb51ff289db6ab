// zel trace (to be written).
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"

namespace zel::tool {

int RunTrace(int, char**, int) { return UsageError("trace", "not built yet"); }

}  // namespace zel::tool
