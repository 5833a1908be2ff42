#pragma once
// The plug-in's settings as the start-up leaves them: each of the six keys that has no
// value gets its default; a key holding any value, of any kind, is left alone.
//
//   QVStowletEnabled                     true
//   QVStowletAAI                         true
//   QVStowletDSI                         true
//   QVStowletSignatureFilename           "email-signature"
//   QVStowletDisableInlineAttachments    true
//   QVStowletDisableInlineAttachmentsAll false
//
// QVStowletLegacy (absent reads false) and QVStowletCount (absent reads 0) get none.

#include "host/QVUserDefaults.h"

namespace qv {

void writeDefaults(QVUserDefaults& store);

}  // namespace qv
