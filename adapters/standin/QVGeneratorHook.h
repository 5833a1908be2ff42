#pragma once
// The plug-in's replacement for Mail's message generator method.
//
// When the plug-in is on (and not in legacy mode) and Mail generates a message whose list
// holds a picture that is not a signature picture, the hook joins the list's HTML texts into
// the HTML, removes the image tags that refer to those pictures, lets Mail's own method
// generate the message from the HTML, the plain text, the attachments alone and the headers,
// and replaces the message's raw data by the rebuilt message (multipart/mixed on top, the
// pictures as attachments). Every other message passes through untouched, and every failure
// ends in Mail's own output: if the generated message cannot be rebuilt, Mail's own method
// runs once more with the uncleaned HTML and the list as it came, and that message is
// returned.
//
// Signature pictures are those without a file name and those whose file name contains
// QVStowletSignatureFilename ("email-signature" when the setting is absent or not a text).
//
// The methods live in the category QVTraits of MCMessageGenerator; after the start-up has
// exchanged kQVNewMessage with Mail's kNewMessage, Mail's calls arrive here and kQVNewMessage
// reaches Mail's own code.

#include <string>
#include <vector>

#include "standin/QVMailInterface.h"
#include "standin/QVRuntime.h"

namespace qv {

inline constexpr QVSelector<mail::QVGeneratorSignature> kQVNewMessage{
    "QVNewMessageWithHtmlString:plain:other:hdrs:"};
// HTML text and a list of identifier texts in; the cleaned HTML text (null for null) out.
inline constexpr QVSelector<QVObjectRef(QVObjectRef, QVObjectRef)> kRemoveTagsWithCids{
    "removeTagsWithCids:cids:"};

// Adds the category QVTraits to MCMessageGenerator. False when the host has no such class.
bool addGeneratorTraits(QVRuntime& runtime);

// The hook: kQVNewMessage's implementation on `runtime`'s generator.
QVObjectRef QVNewMessageWithHtmlString(QVRuntime& runtime, QVObject& generator, QVObjectRef html,
                                       QVObjectRef plain, QVObjectRef other, QVObjectRef hdrs);

}  // namespace qv
