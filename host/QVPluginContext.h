#pragma once
// What the plug-in's decisions (hooks/ and shell/) are handed in one host: the settings
// store, the log and the host's ports. Each host's adapter builds one when Mail starts the
// plug-in and hands it to every rule; no rule reads process-wide state of its own.
//
// Mail calls the plug-in through class methods and exchanged methods, which carry no
// argument of the plug-in's, so each adapter keeps its one context for the life of Mail's
// process. The start-up fills it before any other entry can run.

#include <string_view>

#include "host/QVLog.h"
#include "host/QVPluginPort.h"
#include "host/QVUserDefaults.h"

namespace qv {

struct QVPluginContext {
  // Mail's standard user defaults. Null: every setting reads as absent and nothing is
  // stored (a command that runs the rebuild without settings).
  QVUserDefaults* userDefaults = nullptr;
  // Where the plug-in's log lines go; null drops them.
  QVLogSink* logSink = nullptr;
  // The host's object runtime and application, for the start-up, the menu and the pane;
  // null where a caller runs only the hook.
  QVRuntimePort* runtime = nullptr;
  QVApplicationPort* application = nullptr;
  // The plug-in's menu item once the start-up made it; null before, or when it made none.
  QVMenuItemPort* menuItem = nullptr;
  // Whether the preferences pane has been added to Mail's preferences controller.
  bool preferencesAdded = false;

  // Logs one message in the plug-in's line form ("QVMailPlugin - <message>").
  void log(std::string_view message) const { qvLog(logSink, message); }
};

}  // namespace qv
