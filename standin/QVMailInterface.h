#pragma once
// What the plug-in asks of Mail's own classes: their names and the selectors it sends, with
// the signatures of their implementations. Every argument and result that is an object may
// be null, as in Mail.

#include <optional>
#include <string>
#include <string_view>

#include "standin/QVRuntime.h"

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

namespace qv::mail {

// MVMailBundle: the plug-in base class; registerBundle makes Mail take a subclass as one of
// its plug-ins.
inline constexpr std::string_view kMailBundleClass = "MVMailBundle";
inline constexpr QVSelector<void()> kRegisterBundle{"registerBundle"};

// AttachmentViewController: the two questions Mail asks for each attachment it lays out,
// and the attachment shown (an MCAttachment, or null).
inline constexpr std::string_view kAttachmentViewControllerClass = "AttachmentViewController";
inline constexpr QVSelector<bool()> kShouldBeDisplayedInlineByDefault{
    "shouldBeDisplayedInlineByDefault"};
inline constexpr QVSelector<bool()> kCanBeDisplayedInline{"canBeDisplayedInline"};
inline constexpr QVSelector<QVObjectRef()> kAttachment{"attachment"};

// NSPreferences: the preferences controller (class method; null when Mail has none yet), its
// panes, and its window under "_preferencesPanel" with the window's toolbar (or null).
inline constexpr std::string_view kPreferencesClass = "NSPreferences";
inline constexpr QVSelector<QVObjectRef()> kSharedPreferences{"sharedPreferences"};
inline constexpr QVSelector<void(std::string, QVObjectRef)> kAddPreferenceNamed{
    "addPreferenceNamed:owner:"};
inline constexpr std::string_view kPreferencesPanelKey = "_preferencesPanel";
inline constexpr QVSelector<QVObjectRef()> kToolbar{"toolbar"};

// NSPreferencesModule: the pane base class. sharedInstance (class method) makes the one
// pane of the receiving class on first use; the window calls the others.
inline constexpr std::string_view kPreferencesModuleClass = "NSPreferencesModule";
inline constexpr QVSelector<QVObjectRef()> kSharedInstance{"sharedInstance"};
inline constexpr QVSelector<void()> kAwakeFromNib{"awakeFromNib"};
inline constexpr QVSelector<void()> kWillBeDisplayed{"willBeDisplayed"};
inline constexpr QVSelector<std::optional<std::string>(std::string)> kImageForPreferenceNamed{
    "imageForPreferenceNamed:"};

}  // namespace qv::mail
