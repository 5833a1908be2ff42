#pragma once
// The stand-in Mail as the plug-in's host: its runtime, its user defaults, its application
// menu, the plug-in's bundle (resources/), named images, alerts and the web browser.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standin/QVApplication.h"
#include "standin/QVStandInMail.h"

namespace qv::mail {

// The plug-in's bundle: its info dictionary and images, in a resources folder.
class QVMailBundle final : public QVBundle {
 public:
  explicit QVMailBundle(std::filesystem::path resources) : resources_(std::move(resources)) {}
  [[nodiscard]] std::optional<std::string> objectForInfoDictionaryKey(
      std::string_view key) override;
  [[nodiscard]] std::optional<std::string> pathForImageResource(std::string_view name) override;
  [[nodiscard]] const std::filesystem::path& resources() const { return resources_; }

 private:
  std::filesystem::path resources_;
};

// The folder of the running executable.
[[nodiscard]] std::filesystem::path executableFolder();

class QVMailHost final : public QVHost {
 public:
  // Answers an alert: the message and the buttons in, the button pressed out.
  using AlertResponder = std::function<int(const std::string&, const std::vector<std::string>&)>;
  // Opens a web address.
  using Opener = std::function<void(const std::string&)>;

  // `log`: the system log, null for none.
  QVMailHost(QVStandInMail& mail, QVUserDefaults& defaults, std::filesystem::path resources,
             QVLogSink* log = nullptr);

  [[nodiscard]] QVRuntime& runtime() override { return mail_; }
  [[nodiscard]] QVUserDefaults& standardUserDefaults() override { return defaults_; }
  [[nodiscard]] std::shared_ptr<QVMenu> mainMenu() override { return mainMenu_; }
  [[nodiscard]] QVBundle* bundleForClass(std::string_view className) override;
  void nameImage(const std::string& path, const std::string& name) override;
  [[nodiscard]] std::optional<std::string> imageNamed(std::string_view name) override;
  int runAlert(const std::string& message, const std::vector<std::string>& buttons) override;
  void openURL(const std::string& url) override;
  [[nodiscard]] QVLogSink* systemLog() override { return log_; }

  void setAlertResponder(AlertResponder responder) { alert_ = std::move(responder); }
  void setOpener(Opener opener) { opener_ = std::move(opener); }
  // The application menu: the submenu of the main menu's first item.
  [[nodiscard]] std::shared_ptr<QVMenu> applicationMenu() const;
  [[nodiscard]] QVStandInMail& mail() { return mail_; }

  // Where the plug-in's resources are: $STOWLET_RESOURCES, else found from the executable's
  // folder (PREFIX/share/stowlet for PREFIX/bin/stowlet; "resources" in a build folder).
  [[nodiscard]] static std::filesystem::path defaultResources();

  // The alert on a terminal: the message on standard error, the buttons to choose from on
  // standard input (the first button when standard input is not a terminal).
  static int terminalAlert(const std::string& message, const std::vector<std::string>& buttons);
  // The system's opener where there is one, else the address printed.
  static void systemOpener(const std::string& url);

 private:
  QVStandInMail& mail_;
  QVUserDefaults& defaults_;
  QVMailBundle bundle_;
  std::shared_ptr<QVMenu> mainMenu_;
  std::mutex imagesMutex_;
  std::map<std::string, std::string, std::less<>> images_;
  AlertResponder alert_;
  Opener opener_;
  QVLogSink* log_;
};

}  // namespace qv::mail
