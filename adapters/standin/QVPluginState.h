#pragma once
// The plug-in's one state in the stand-in Mail's process: what the class initialisation
// makes, and what every entry Mail calls (the hook, the display answers, the pane, the
// menu action) hands to the shared rules. Mail's calls carry no argument of the plug-in's,
// so the state is kept here for the life of the process, as the real plug-in keeps its own.

#include <memory>

#include "host/QVPluginContext.h"
#include "standin/QVApplication.h"

namespace qv {

struct QVStandInPlugin {
  QVHost* host = nullptr;
  // The plug-in's own bundle (for its icon and its version).
  QVBundle* qvBundle = nullptr;
  // The menu item that switches the plug-in on and off; null until the start-up makes it.
  std::shared_ptr<QVMenuItem> qvMenuItem;
  // The host behind the ports the shared rules use.
  std::unique_ptr<QVRuntimePort> runtime;
  std::unique_ptr<QVApplicationPort> application;
  // What the rules are handed: the host's store and log, the ports above, the menu item.
  QVPluginContext context;
};

// The state; empty (a context without store, log or ports) until the class initialisation.
QVStandInPlugin& standInPlugin();

}  // namespace qv
