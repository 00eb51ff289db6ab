// zel stop (to be written).
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"

namespace zel::tool {

int RunStop(int, char**, int) { return UsageError("stop", "not built yet"); }

}  // namespace zel::tool
