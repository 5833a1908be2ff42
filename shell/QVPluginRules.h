#pragma once
// The plug-in shell's decisions, shared by every host: the start-up's steps and failure
// messages, the menu toggle's rules, the display policy and the preferences pane's
// bindings. Each host hands them its context (host/QVPluginContext.h): the settings store,
// the log and its ports.

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/QVPluginContext.h"

namespace qv {

// One exchange of the start-up: Mail's method for the plug-in's replacement.
struct QVExchangeRow {
  std::string_view hostClass;
  std::string_view hostSelector;
  std::string_view replacementClass;
  std::string_view replacementSelector;
  bool instanceMethod;
  std::string_view failure;  // logged when the exchange cannot be made; the start-up stops
};

// In the order they are made.
inline constexpr std::array<QVExchangeRow, 4> kExchangeRows{{
    {"MCMessageGenerator",
     "newMessageWithHtmlString:plainTextAlternative:otherHtmlStringsAndAttachments:headers:",
     "MCMessageGenerator", "QVNewMessageWithHtmlString:plain:other:hdrs:", true,
     "Failed (0x002a)."},
    {"AttachmentViewController", "shouldBeDisplayedInlineByDefault", "AVC",
     "QVShouldBeDisplayedInlineByDefault", true, "Failed (0x003)."},
    {"AttachmentViewController", "canBeDisplayedInline", "AVC", "QVCanBeDisplayedInline", true,
     "Failed (0x004)."},
    {"NSPreferences", "sharedPreferences", "NSPreferences", "QVSharedPreferences", false,
     "Failed (0x100)."},
}};

inline constexpr std::string_view kPluginClass = "QVMailPlugin";
inline constexpr std::string_view kMailBundleClass = "MVMailBundle";
inline constexpr std::string_view kMenuTitle = "QV's Stowlet";
inline constexpr std::string_view kMenuToolTip = "Enable/Disable QV's Stowlet Plugin";
inline constexpr std::string_view kIconName = "QVStowletIcon";

// The start-up, after the host has made its context (store, log, runtime, application) and
// added the plug-in's methods to its classes:
//   1. the default settings; 2. MVMailBundle becomes QVMailPlugin's superclass and the
//   bundle is registered ("Bundle support not available." when Mail has no MVMailBundle;
//   "Bundle support not available (MVMailBundle's instances do not fit QVMailPlugin)." when
//   the plug-in's class cannot take them: see the host's superclass change);
//   3. the four exchanges, stopping at the first that fails with its message; 4. the icon
//   named; 5. the menu item (kept for the toggles); 6. rand() seeded with the time;
//   7. "Ready.". Each message goes to the context's log as "QVMailPlugin - <message>".
// The context's menu item is the one the start-up made, or null when it stopped before.
void runStartup(QVPluginContext& context);

// The menu toggle over the context's item (null when the start-up made none: the setting
// alone is switched) and store.
// toggle: flips the check mark and QVStowletEnabled, deciding by the stored setting.
void toggleMenuItem(const QVPluginContext& context);
// toggleTo: nothing when the item shows the wanted state already, else toggle.
void toggleMenuItemTo(const QVPluginContext& context, bool state);
void switchMenuItem(const QVPluginContext& context, bool on);  // toggleOn / Off

// The display policy: whether an attachment with this file name (nothing: none, or no
// attachment) is shown inline by default. Every attachment can be shown inline.
//   QVStowletEnabled false -> inline; QVStowletAAI false -> inline; QVStowletDSI false -> icon;
//   no file name -> inline; empty signature name -> icon; else inline when the file name
//   contains the signature name (case-sensitive).
// `filename` is asked only when the settings leave the answer to the file name.
[[nodiscard]] bool shouldBeDisplayedInlineByDefault(
    const QVPluginContext& context, const std::function<std::optional<std::string>()>& filename);

// The preferences pane "Stowlet".
inline constexpr std::string_view kPaneName = "Stowlet";
inline constexpr std::string_view kPaneIconName = "QVStowletIcon.png";
inline constexpr std::string_view kSupportAddress = "https://stowlet.example.org/faq";
inline constexpr std::string_view kRestartAlert =
    "Changing this setting requires Mail app restart.\n\nPlease restart your Mail app, thank you.";
inline constexpr std::string_view kToolbarNotice = "Preference notice 42";

// The pane's Boolean properties, each a view onto one setting. isPluginEnabled's setter goes
// through the menu toggle (toggleTo) instead of writing the setting. A property's getter has
// its name; its setter is setterSelector(property) (host/QVPluginPort.h).
struct QVPaneBoolean {
  std::string_view property;
  std::string_view key;
};
extern const std::array<QVPaneBoolean, 5> kPaneBooleans;
// The property whose getter or setter the selector names; null when none.
[[nodiscard]] const QVPaneBoolean* paneBooleanNamed(std::string_view selector);
[[nodiscard]] bool paneBoolean(const QVPluginContext& context, const QVPaneBoolean& property);
void setPaneBoolean(const QVPluginContext& context, const QVPaneBoolean& property, bool value);

// filename: the stored text under QVStowletSignatureFilename, or nothing.
[[nodiscard]] std::optional<std::string> paneFilename(const QVPluginContext& context);
// setFilename: nothing stores "email-signature"; any text as it is, an empty one too.
void setPaneFilename(const QVPluginContext& context, const std::optional<std::string>& name);
// setIsLegacy: the value stored, then the restart alert (when there is an application),
// every time.
void setPaneLegacy(const QVPluginContext& context, bool on);
// version: "Version: <CFBundleShortVersionString>" ("(null)" when nothing says).
[[nodiscard]] std::string paneVersion(const QVPluginContext& context);
// openSupport: the support address in the user's browser.
void openPaneSupport(const QVPluginContext& context);
// willBeDisplayed: the values re-published through the pane's setters, in order: the
// enabled state (to setIsPluginEnabled:), the two inline-attachment options.
struct QVRepublished {
  std::string_view property;
  bool value;
};
[[nodiscard]] std::array<QVRepublished, 3> paneWillBeDisplayed(const QVPluginContext& context);

// The start-up's icon: the bundle's image "QVStowletIcon" named so in the named-image store.
void nameIcon(QVApplicationPort& application);
// The start-up's menu item "QV's Stowlet" (state `on`): inserted at index 1 of the
// application menu, then a separator at index 1 (above it). The item, or null.
QVMenuItemPort* installMenuItem(QVApplicationPort& application, bool on);
// Adding the pane when Mail asks for its preferences controller, once: when the pane's
// class and a controller are there and the context's preferencesAdded is not set, the
// shared instance is added as "Stowlet", the flag is set, and the notice is logged when the
// window already had a toolbar.
void addPaneOnce(QVPreferencesPort& preferences, QVPluginContext& context);

}  // namespace qv
