#pragma once
// The signature file name as every reader takes it: QVStowletSignatureFilename when it holds
// a text (an empty one included), else "email-signature" (absent, another kind of value, or
// no store at all).

#include <string>

#include "host/QVUserDefaults.h"

namespace qv {

[[nodiscard]] std::string signatureName(const QVUserDefaults* store);

}  // namespace qv
