// zel doctor (to be written).
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"

namespace zel::tool {

int RunDoctor(int, char**, int) { return UsageError("doctor", "not built yet"); }

}  // namespace zel::tool
