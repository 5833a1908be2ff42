#include "standin/QVPreferencesWindow.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "standin/QVFoundation.h"

namespace qv::mail {

namespace {

std::string stringItem(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string out = text != nullptr ? text : "";
  std::free(text);
  return out;
}

std::optional<bool> parseSwitch(std::string value) {
  std::transform(value.begin(), value.end(), value.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (value == "on" || value == "true" || value == "yes" || value == "1") return true;
  if (value == "off" || value == "false" || value == "no" || value == "0") return false;
  return std::nullopt;
}

}  // namespace

QVPreferencesWindow::QVPreferencesWindow(QVMailHost& host, const std::filesystem::path& description)
    : host_(host) {
  std::ifstream in(description, std::ios::binary);
  if (!in) {
    loadError_ = "cannot read the pane's description " + description.string();
    return;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string bytes = buffer.str();
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
    loadError_ = "the pane's description " + description.string() + " is not a property list";
    if (root != nullptr) plist_free(root);
    return;
  }
  title_ = stringItem(root, "Title");
  plist_t list = plist_dict_get_item(root, "Controls");
  const std::uint32_t count = (list != nullptr && plist_get_node_type(list) == PLIST_ARRAY)
                                  ? plist_array_get_size(list)
                                  : 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    plist_t item = plist_array_get_item(list, i);
    if (plist_get_node_type(item) != PLIST_DICT) continue;
    controls_.push_back({stringItem(item, "Kind"), stringItem(item, "Title"),
                         stringItem(item, "Name"), stringItem(item, "Get"), stringItem(item, "Set"),
                         stringItem(item, "Action"), stringItem(item, "Setting")});
  }
  plist_free(root);
}

bool QVPreferencesWindow::open(std::string& error) {
  if (!loadError_.empty()) {
    error = loadError_;
    return false;
  }
  QVClass* preferences = host_.runtime().classNamed(kPreferencesClass);
  QVObjectRef controller =
      preferences != nullptr ? send(*preferences, kSharedPreferences) : nullptr;
  auto* c = dynamic_cast<QVMailPreferencesController*>(controller.get());
  if (c == nullptr) {
    error = "Mail has no preferences window";
    return false;
  }
  for (const auto& [name, owner] : c->panes) {
    if (name == title_) pane_ = owner;
  }
  if (!pane_) {
    error = "the preferences window has no pane \"" + title_ + "\" (the plug-in is not loaded)";
    return false;
  }
  if (!awake_) {
    send(*pane_, kAwakeFromNib);
    awake_ = true;
  }
  return true;
}

std::string QVPreferencesWindow::valueOf(const QVPaneControl& control) {
  if (control.kind == "switch") {
    bool on = false;
    if (!control.getter.empty()) {
      on = send(*pane_, QVSelector<bool()>{control.getter});
    } else if (!control.setting.empty()) {
      on = host_.standardUserDefaults().boolForKey(control.setting);
    }
    return on ? "[x]" : "[ ]";
  }
  if (control.kind == "text") {
    return "\"" +
           stringValue(send(*pane_, QVSelector<QVObjectRef()>{control.getter})).value_or("") + "\"";
  }
  if (control.kind == "label") return send(*pane_, QVSelector<std::string()>{control.getter});
  return "";
}

std::string QVPreferencesWindow::draw() {
  send(*pane_, kWillBeDisplayed);
  std::ostringstream out;
  out << "Mail Settings: " << title_ << "\n";
  if (auto icon = send(*pane_, kImageForPreferenceNamed, title_))
    out << "  icon: " << *icon << "\n";
  int number = 1;
  for (const QVPaneControl& control : controls_) {
    out << "  " << number++ << ". ";
    if (control.kind == "switch") {
      out << valueOf(control) << " " << control.title;
    } else if (control.kind == "text") {
      out << control.title << ": " << valueOf(control);
    } else if (control.kind == "button") {
      out << "<" << control.title << ">";
    } else {
      out << valueOf(control);
    }
    out << "   (" << control.name << ")\n";
  }
  return out.str();
}

bool QVPreferencesWindow::change(const QVPaneControl& control,
                                 const std::optional<std::string>& value, std::string& error) {
  if (control.kind == "switch") {
    std::optional<bool> on;
    if (value) {
      on = parseSwitch(*value);
      if (!on) {
        error = "a switch is on or off, not \"" + *value + "\"";
        return false;
      }
    } else {
      on = valueOf(control) != "[x]";
    }
    send(*pane_, QVSelector<void(bool)>{control.setter}, *on);
    return true;
  }
  if (control.kind == "text") {
    send(*pane_, QVSelector<void(QVObjectRef)>{control.setter},
         host_.runtime().makeString(value.value_or("")));
    return true;
  }
  if (control.kind == "button") {
    send(*pane_, QVSelector<void(QVObjectRef)>{control.action}, QVObjectRef());
    return true;
  }
  error = control.name + " cannot be changed";
  return false;
}

bool QVPreferencesWindow::set(const std::string& name, const std::string& value,
                              std::string& error) {
  for (const QVPaneControl& control : controls_) {
    if (control.name == name) return change(control, value, error);
  }
  std::string names;
  for (const QVPaneControl& control : controls_) {
    if (control.kind != "label") names += (names.empty() ? "" : ", ") + control.name;
  }
  error = "no setting named \"" + name + "\" (one of: " + names + ")";
  return false;
}

void QVPreferencesWindow::interact(std::istream& in, std::ostream& out,
                                   const std::function<std::optional<std::string>()>& saveError) {
  for (;;) {
    out << "\n" << draw() << "Number to change or press, q to close: " << std::flush;
    std::string answer;
    if (!std::getline(in, answer) || answer == "q" || answer == "Q") return;
    const int n = std::atoi(answer.c_str());
    if (n < 1 || static_cast<std::size_t>(n) > controls_.size()) {
      out << "There is no control " << answer << ".\n";
      continue;
    }
    const QVPaneControl& control = controls_[static_cast<std::size_t>(n - 1)];
    std::optional<std::string> value;
    if (control.kind == "text") {
      out << control.title << " (now " << valueOf(control) << "; Enter keeps it): " << std::flush;
      std::string text;
      if (!std::getline(in, text)) return;
      if (text.empty()) continue;  // an empty answer keeps the name
      value = text;
    }
    std::string error;
    if (!change(control, value, error)) {
      out << error << "\n";
    } else if (saveError) {
      if (std::optional<std::string> failed = saveError()) out << "Not saved: " << *failed << "\n";
    }
  }
}

}  // namespace qv::mail
