#pragma once
// The plug-in's process-wide state, besides `userDefaults` (host/QVUserDefaults.h). Each is
// written once, by the start-up or on first use, and lasts as long as Mail's process.

#include <memory>

#include "standin/QVApplication.h"

namespace qv {

// The plug-in's own bundle (for its icon and its version).
extern QVBundle* qvBundle;
// The menu item that switches the plug-in on and off; null until the start-up makes it.
extern std::shared_ptr<QVMenuItem> qvMenuItem;
// Whether the preferences pane has been added to Mail's preferences controller.
extern bool qvPreferencesAdded;
// The stand-in host's application behind the port the shared rules use; null before the
// host starts.
class QVApplicationPort;
QVApplicationPort* standInApplication();

}  // namespace qv
