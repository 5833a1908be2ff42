#pragma once
// QVMailPlugin: the plug-in's principal class. Its class initialisation installs the
// plug-in into Mail; its toggles switch the plug-in on and off.
//
// The start-up, in order:
//   1. qvBundle and userDefaults; 2. the default settings;
//   3. MVMailBundle becomes QVMailPlugin's superclass and the bundle is registered
//      ("Bundle support not available." when Mail has no MVMailBundle);
//   4. four exchanges, stopping at the first that fails with its message:
//        MCMessageGenerator newMessageWith...  <-> QVNewMessageWithHtmlString...  "Failed
//        (0x002a)." AttachmentViewController shouldBeDisplayedInlineByDefault
//                                      <-> AVC QVShouldBeDisplayedInlineByDefault "Failed (0x003)."
//        AttachmentViewController canBeDisplayedInline <-> AVC QVCanBeDisplayedInline
//                                                                                 "Failed (0x004)."
//        NSPreferences +sharedPreferences <-> +QVSharedPreferences                "Failed (0x100)."
//   5. the icon named "QVStowletIcon"; 6. the menu item "QV's Stowlet";
//   7. rand() seeded with the time; 8. "Ready." in the log.
// Nothing is ever undone.

#include "standin/QVApplication.h"

namespace qv {

class QVMailPlugin {
 public:
  QVMailPlugin() = delete;

  // The class initialisation: runs the start-up in the host.
  static void initialize(QVHost& host);

  // The menu item's action: flips the check mark and QVStowletEnabled, deciding by the
  // stored setting.
  static void toggle(QVMenuItem* sender);
  // Brings the plug-in to the wanted state: nothing when the menu item shows it already,
  // else toggle().
  static void toggleTo(bool state);
  static void toggleOn();
  static void toggleOff();

  // Makes the menu item and puts it (and a separator) into the application menu.
  static void installMenuItem(QVHost& host);
};

}  // namespace qv
