#pragma once
// The preferences pane "Stowlet" (class QVPreferences, a Mail preferences module) and its
// addition to Mail's preferences controller.
//
// The pane's properties are views onto the settings, read and written at each access; the
// pane's view binds its controls to them by selector. Changing the legacy option asks the
// user to restart Mail, every time.

#include <optional>
#include <string>

#include "standin/QVRuntime.h"

namespace qv {

// Boolean properties and their setters.
inline constexpr QVSelector<bool()> kIsPluginEnabled{"isPluginEnabled"};
inline constexpr QVSelector<void(bool)> kSetIsPluginEnabled{"setIsPluginEnabled:"};
inline constexpr QVSelector<bool()> kIsDisplayAttachmentsAsIcons{"isDisplayAttachmentsAsIcons"};
inline constexpr QVSelector<void(bool)> kSetIsDisplayAttachmentsAsIcons{
    "setIsDisplayAttachmentsAsIcons:"};
inline constexpr QVSelector<bool()> kIsDisplaySignaturesInline{"isDisplaySignaturesInline"};
inline constexpr QVSelector<void(bool)> kSetIsDisplaySignaturesInline{
    "setIsDisplaySignaturesInline:"};
inline constexpr QVSelector<bool()> kIsDisableInlineAttachments{"isDisableInlineAttachments"};
inline constexpr QVSelector<void(bool)> kSetIsDisableInlineAttachments{
    "setIsDisableInlineAttachments:"};
inline constexpr QVSelector<bool()> kIsDisableInlineAttachmentsAll{"isDisableInlineAttachmentsAll"};
inline constexpr QVSelector<void(bool)> kSetIsDisableInlineAttachmentsAll{
    "setIsDisableInlineAttachmentsAll:"};
// The signature file name: a string object or null; setting null stores "email-signature".
inline constexpr QVSelector<QVObjectRef()> kFilenameProperty{"filename"};
inline constexpr QVSelector<void(QVObjectRef)> kSetFilename{"setFilename:"};
// The legacy option has a setter only; it alerts.
inline constexpr QVSelector<void(bool)> kSetIsLegacy{"setIsLegacy:"};
// "Version: <CFBundleShortVersionString>".
inline constexpr QVSelector<std::string()> kVersion{"version"};
// A stored string tied to no setting.
inline constexpr QVSelector<QVObjectRef()> kPaneSignatureFilename{"setSignatureFilename"};
inline constexpr QVSelector<void(QVObjectRef)> kSetPaneSignatureFilename{
    "setSetSignatureFilename:"};
// Opens the support page.
inline constexpr QVSelector<void(QVObjectRef)> kOpenSupport{"openSupport:"};

// The replacement for NSPreferences +sharedPreferences.
inline constexpr QVSelector<QVObjectRef()> kQVSharedPreferences{"QVSharedPreferences"};

// Registers the class QVPreferences under Mail's NSPreferencesModule.
QVClass& registerPreferencesPane(QVRuntime& runtime);
// Adds +QVSharedPreferences to NSPreferences (category QVTraits); false without that class.
bool addPreferencesTraits(QVRuntime& runtime);

}  // namespace qv
