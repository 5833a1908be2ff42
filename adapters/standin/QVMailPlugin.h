#pragma once
// QVMailPlugin: the plug-in's principal class. Its class initialisation installs the
// plug-in into Mail; its toggles switch the plug-in on and off.
//
// The class initialisation makes the plug-in's state (adapters/standin/QVPluginState.h: the
// bundle, the host's store and log, the ports), then runs the start-up the shell holds
// (runStartup in shell/QVPluginRules.h, its steps numbered there) over it. Nothing is
// undone while Mail runs.

#include "standin/QVApplication.h"

namespace qv {

class QVMailPlugin {
 public:
  QVMailPlugin() = delete;

  // The class initialisation: runs the start-up in the host.
  static void initialize(QVHost& host);
  // Forgets the state, as the end of Mail's process does: for a process that closes one
  // stand-in Mail and may open another (the command's session, the tests).
  static void unload();

  // The menu item's action: flips the check mark and QVStowletEnabled, deciding by the
  // stored setting.
  static void toggle(QVMenuItem* sender);
  // Brings the plug-in to the wanted state: nothing when the menu item shows it already,
  // else toggle().
  static void toggleTo(bool state);
  static void toggleOn();
  static void toggleOff();
};

}  // namespace qv
