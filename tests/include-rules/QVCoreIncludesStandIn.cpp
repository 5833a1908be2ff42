// Must not compile: the core depends on nothing of the stand-in Mail (or of any host), and
// the build gives it no way to reach those headers. A test builds this file and expects the
// include to be refused.
#include "core/QVManipulator.h"
#include "standin/QVMailHost.h"
