// zel status (to be written).
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"

namespace zel::tool {

int RunStatus(int, char**, int) { return UsageError("status", "not built yet"); }

}  // namespace zel::tool
