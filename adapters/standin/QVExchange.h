#pragma once
// The exchange of one of Mail's methods for the plug-in's replacement.

#include <string_view>

#include "standin/QVRuntime.h"

namespace qv {

// Looks up the host class's method for `hostSelector` and the replacement class's method for
// `replacementSelector` (instance methods when `instanceMethod`, else class methods), and
// exchanges their implementations: afterwards the host selector runs the replacement and the
// replacement selector runs the host's own code. True only when both methods exist (their
// classes too) and were exchanged; otherwise nothing changes.
bool fun(QVRuntime& runtime, std::string_view hostClass, std::string_view hostSelector,
         std::string_view replacementClass, std::string_view replacementSelector,
         bool instanceMethod);

}  // namespace qv
