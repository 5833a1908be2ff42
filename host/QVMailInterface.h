#pragma once
// What the plug-in asks of Mail's own classes: their names and the selectors it sends, with
// the signatures of their implementations. Every argument and result that is an object may
// be null, as in Mail.

#include <string>
#include <string_view>

#include "host/QVRuntime.h"

namespace qv::mail {

// Classes, looked up by name at the moment of use.
inline constexpr std::string_view kMessageGeneratorClass = "MCMessageGenerator";
inline constexpr std::string_view kOutgoingMessageClass = "MCOutgoingMessage";
inline constexpr std::string_view kAttachmentClass = "MCAttachment";
// The class of the host's HTML texts in the generator's list.
inline constexpr std::string_view kHtmlTextClass = "__NSCFString";

// MCMessageGenerator: HTML text, plain-text alternative, list of further HTML texts and
// attachments, header set in; the generated message (or null) out.
using QVGeneratorSignature = QVObjectRef(QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef);
inline constexpr QVSelector<QVGeneratorSignature> kNewMessage{
    "newMessageWithHtmlString:plainTextAlternative:otherHtmlStringsAndAttachments:headers:"};

// MCAttachment: each a string object or null. The content identifier keeps one delimiter
// character at each end ("<id>").
inline constexpr QVSelector<QVObjectRef()> kMimeType{"mimeType"};
inline constexpr QVSelector<QVObjectRef()> kFilename{"filename"};
inline constexpr QVSelector<QVObjectRef()> kContentID{"contentID"};

// Key-value access of every object; MCOutgoingMessage keeps its raw text (a data object)
// under "_rawData".
inline constexpr QVSelector<QVObjectRef(std::string)> kValueForKey{"valueForKey:"};
inline constexpr QVSelector<void(QVObjectRef, std::string)> kSetValueForKey{"setValue:forKey:"};
inline constexpr std::string_view kRawDataKey = "_rawData";

}  // namespace qv::mail
