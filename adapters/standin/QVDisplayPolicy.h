#pragma once
// The attachment display policy: the plug-in's answers to the two questions Mail asks of
// its AttachmentViewController for each attachment of a displayed message.
//
// Whether to show an attachment inline by default (false: as an icon):
//
//   QVStowletEnabled  QVStowletAAI  QVStowletDSI  the attachment's file name         answer
//   false             -             -             -                                  inline
//   true              false         -             -                                  inline
//   true              true          false         -                                  icon
//   true              true          true          none                               inline
//   true              true          true          contains the signature name        inline
//   true              true          true          does not, or the name is empty     icon
//
// The signature name is QVStowletSignatureFilename ("email-signature" when absent or not a
// text); "contains" is a case-sensitive search. Every attachment can be shown inline.

#include "standin/QVRuntime.h"

namespace qv {

inline constexpr QVSelector<bool()> kQVShouldBeDisplayedInlineByDefault{
    "QVShouldBeDisplayedInlineByDefault"};
inline constexpr QVSelector<bool()> kQVCanBeDisplayedInline{"QVCanBeDisplayedInline"};

// Registers the plug-in's class AVC, which holds the two replacements.
QVClass& registerAVC(QVRuntime& runtime);

// The replacements, run on Mail's controller after the exchange.
bool QVShouldBeDisplayedInlineByDefault(QVObject& controller);
bool QVCanBeDisplayedInline(QVObject& controller);

}  // namespace qv
