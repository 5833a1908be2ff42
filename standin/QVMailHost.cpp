#include "standin/QVMailHost.h"

#include <plist/plist.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace qv::mail {

namespace fs = std::filesystem;

std::filesystem::path executableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path(".") : exe.parent_path();
}

std::optional<std::string> QVMailBundle::objectForInfoDictionaryKey(std::string_view key) {
  std::ifstream in(resources_ / "Info.plist", std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string bytes = buffer.str();
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  std::optional<std::string> value;
  if (plist_get_node_type(root) == PLIST_DICT) {
    plist_t node = plist_dict_get_item(root, std::string(key).c_str());
    if (node != nullptr && plist_get_node_type(node) == PLIST_STRING) {
      char* text = nullptr;
      plist_get_string_val(node, &text);
      if (text != nullptr) value = text;
      std::free(text);
    }
  }
  plist_free(root);
  return value;
}

std::optional<std::string> QVMailBundle::pathForImageResource(std::string_view name) {
  for (const char* extension : {".png", ".tiff", ".tif", ".jpg", ".jpeg", ".gif", ".icns"}) {
    const fs::path candidate = resources_ / (std::string(name) + extension);
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return std::nullopt;
}

namespace {

std::shared_ptr<QVMenu> makeMainMenu() {
  auto main = std::make_shared<QVMenu>("Main");
  auto app = std::make_shared<QVMenu>("Mail");
  auto item = [](const char* title) { return std::make_shared<QVMenuItem>(title, nullptr, ""); };
  app->addItem(item("About Mail"));
  app->addItem(QVMenuItem::separatorItem());
  app->addItem(item("Settings…"));
  app->addItem(item("Accounts…"));
  app->addItem(QVMenuItem::separatorItem());
  app->addItem(item("Services"));
  app->addItem(QVMenuItem::separatorItem());
  app->addItem(item("Hide Mail"));
  app->addItem(item("Hide Others"));
  app->addItem(item("Show All"));
  app->addItem(QVMenuItem::separatorItem());
  app->addItem(item("Quit Mail"));
  for (const char* title :
       {"Mail", "File", "Edit", "View", "Mailbox", "Message", "Format", "Window", "Help"}) {
    auto top = item(title);
    if (main->numberOfItems() == 0) top->setSubmenu(app);
    main->addItem(top);
  }
  return main;
}

}  // namespace

QVMailHost::QVMailHost(QVStandInMail& mail, QVUserDefaults& defaults, fs::path resources,
                       QVLogSink* log)
    : mail_(mail),
      defaults_(defaults),
      bundle_(std::move(resources)),
      mainMenu_(makeMainMenu()),
      alert_(&QVMailHost::terminalAlert),
      opener_(&QVMailHost::systemOpener),
      log_(log) {}

QVBundle* QVMailHost::bundleForClass(std::string_view className) {
  // The plug-in's classes come from its bundle; Mail's own from Mail, which has none here.
  for (std::string_view mine : {"QVMailPlugin", "QVPreferences", "AVC"}) {
    if (className == mine) return &bundle_;
  }
  return nullptr;
}

void QVMailHost::nameImage(const std::string& path, const std::string& name) {
  std::lock_guard lock(imagesMutex_);
  images_[name] = path;
}

std::optional<std::string> QVMailHost::imageNamed(std::string_view name) {
  std::lock_guard lock(imagesMutex_);
  auto it = images_.find(name);
  if (it == images_.end()) {
    // "QVStowletIcon.png" finds the image named "QVStowletIcon", as the platform's does.
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) it = images_.find(name.substr(0, dot));
  }
  if (it == images_.end()) return std::nullopt;
  return it->second;
}

int QVMailHost::runAlert(const std::string& message, const std::vector<std::string>& buttons) {
  return alert_ ? alert_(message, buttons) : 0;
}

void QVMailHost::openURL(const std::string& url) {
  if (opener_) opener_(url);
}

std::shared_ptr<QVMenu> QVMailHost::applicationMenu() const {
  auto first = mainMenu_->itemAtIndex(0);
  return first ? first->submenu() : nullptr;
}

fs::path QVMailHost::defaultResources() {
  const char* env = std::getenv("STOWLET_RESOURCES");
  if (env != nullptr && *env != '\0') return fs::path(env);
  // Found from the executable: installed (PREFIX/bin/stowlet, PREFIX/share/stowlet), or in
  // a build folder (the command beside "resources", the tests and tools one folder down).
  const fs::path folder = executableFolder();
  std::error_code ec;
  for (const fs::path& candidate :
       {folder / ".." / "share" / "stowlet", folder / "resources", folder / ".." / "resources"}) {
    if (fs::is_directory(candidate, ec)) return candidate.lexically_normal();
  }
  return folder / ".." / "share" / "stowlet";  // where an installation has them
}

int QVMailHost::terminalAlert(const std::string& message, const std::vector<std::string>& buttons) {
  std::fprintf(stderr, "\n  ┌ Mail\n");
  std::istringstream lines(message);
  for (std::string line; std::getline(lines, line);) std::fprintf(stderr, "  │ %s\n", line.c_str());
  std::string choices;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    choices += (i ? "  " : "") + ("[" + std::to_string(i + 1) + "] " + buttons[i]);
  }
  std::fprintf(stderr, "  └ %s\n", choices.c_str());
  if (::isatty(STDIN_FILENO) == 0 || buttons.size() <= 1) {
    if (::isatty(STDIN_FILENO) != 0 && !buttons.empty()) {
      std::fprintf(stderr, "  Press Enter for %s: ", buttons[0].c_str());
      std::string ignored;
      std::getline(std::cin, ignored);
    }
    return 0;
  }
  for (;;) {
    std::fprintf(stderr, "  Choose 1-%zu: ", buttons.size());
    std::string answer;
    if (!std::getline(std::cin, answer)) return 0;
    const int n = std::atoi(answer.c_str());
    if (n >= 1 && static_cast<std::size_t>(n) <= buttons.size()) return n - 1;
  }
}

void QVMailHost::systemOpener(const std::string& url) {
  const bool display =
      std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
  if (display && std::system("command -v xdg-open >/dev/null 2>&1") == 0) {
    const std::string command = "xdg-open '" + url + "' >/dev/null 2>&1 &";
    if (std::system(command.c_str()) == 0) return;
  }
  std::printf("Open in your browser: %s\n", url.c_str());
}

}  // namespace qv::mail
