#pragma once
// The stand-in Mail's preferences window, showing the pane "Stowlet" as its description file
// lays it out: each control bound to a getter and a setter (or an action) of the pane, found
// by selector, as a view's bindings are.

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "standin/QVMailHost.h"

namespace qv::mail {

struct QVPaneControl {
  std::string kind;  // "switch", "text", "button", "label"
  std::string title;
  std::string name;  // for --set NAME=VALUE
  std::string getter, setter, action;
  std::string setting;  // a switch without a getter shows this stored setting
};

class QVPreferencesWindow {
 public:
  // Reads the pane's description; loadError() says why when it cannot (then the window is
  // empty).
  QVPreferencesWindow(QVMailHost& host, const std::filesystem::path& description);

  // Opens the window: asks Mail's preferences controller (through +sharedPreferences, so the
  // plug-in adds its pane) and finds the pane. False, with a reason, when there is none.
  bool open(std::string& error);

  // The pane as text: its title, each control with its current value, numbered.
  [[nodiscard]] std::string draw();
  // Changes a control by its name through the pane's setter or action.
  bool set(const std::string& name, const std::string& value, std::string& error);
  // Runs the window on a terminal: choose a control by number to change it or press it.
  // `saveError` (when given) tells after each change whether saving it failed, and why: the
  // failure is shown at once.
  void interact(std::istream& in, std::ostream& out,
                const std::function<std::optional<std::string>()>& saveError = {});

  [[nodiscard]] const std::string& loadError() const { return loadError_; }
  [[nodiscard]] const std::vector<QVPaneControl>& controls() const { return controls_; }

 private:
  [[nodiscard]] std::string valueOf(const QVPaneControl& control);
  bool change(const QVPaneControl& control, const std::optional<std::string>& value,
              std::string& error);

  QVMailHost& host_;
  std::string title_;
  std::vector<QVPaneControl> controls_;
  std::string loadError_;
  QVObjectRef pane_;
  bool awake_ = false;
};

}  // namespace qv::mail
