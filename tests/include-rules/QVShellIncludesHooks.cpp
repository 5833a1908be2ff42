// Must not compile: the shell's rules stand on the port alone, not on the generator hook's,
// and the build gives them no way to reach those headers.
#include "hooks/QVHookPlan.h"
#include "shell/QVPluginRules.h"
