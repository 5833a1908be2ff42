#pragma once
// The stand-in Mail: its object runtime with Mail's classes, ready for the plug-in.
//
//   QVStandInMail mail;
//   auto generator = mail.makeGenerator();
//   QVObjectRef message = send(*generator, mail::kNewMessage, html, plain, list, headers);
//
// A profile leaves out classes or selectors, to stand for a Mail that lacks them.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "standin/QVFoundation.h"
#include "standin/QVMailInterface.h"
#include "standin/QVMailObjects.h"
#include "standin/QVMessageWriter.h"

namespace qv::mail {

struct QVMailProfile {
  std::set<std::string, std::less<>> missingClasses;
  // "Class selector" pairs, e.g. {"MCMessageGenerator", "newMessageWith..."}.
  std::set<std::pair<std::string, std::string>> missingSelectors;
  // +sharedPreferences gives no controller on this many first calls.
  int preferencesAbsentCalls = 0;
  // The preferences window has a toolbar before any pane is added.
  bool windowHasToolbar = false;
};

class QVStandInMail final : public QVRuntime {
 public:
  explicit QVStandInMail(QVMailProfile profile = {});
  ~QVStandInMail() override;
  QVStandInMail(const QVStandInMail&) = delete;
  QVStandInMail& operator=(const QVStandInMail&) = delete;

  [[nodiscard]] QVClass* classNamed(std::string_view name) override;
  QVClass& registerClass(std::string_view name, QVClass* superclass) override;
  [[nodiscard]] QVObjectRef makeString(std::string text) override;
  [[nodiscard]] QVObjectRef makeArray(std::vector<QVObjectRef> items) override;
  [[nodiscard]] QVObjectRef makeData(std::string bytes) override;

  // Mail's objects.
  [[nodiscard]] QVObjectRef makeGenerator();
  [[nodiscard]] std::shared_ptr<QVMailAttachment> makeAttachment(std::string bytes);
  [[nodiscard]] std::shared_ptr<QVMailHeaders> makeHeaders(
      std::vector<std::pair<std::string, std::string>> fields);
  // A string that is not one of the generator's HTML texts (another representation).
  [[nodiscard]] QVObjectRef makeOtherString(std::string text);
  // Any other object (neither text nor attachment).
  [[nodiscard]] QVObjectRef makeOtherObject();

  // The generator's UUIDs: random unless made reproducible.
  void setUuidSeed(std::uint64_t seed);
  // How many times Mail's own generator method ran.
  [[nodiscard]] int generatorRuns() const { return generatorRuns_; }

  // The classes Mail took as plug-ins (registerBundle).
  [[nodiscard]] std::vector<std::string> registeredBundles();
  // The preferences controller, once +sharedPreferences has made it.
  [[nodiscard]] std::shared_ptr<QVMailPreferencesController> preferencesController();
  // A controller showing one attachment, as Mail makes for each attachment it lays out.
  [[nodiscard]] std::shared_ptr<QVMailAttachmentViewController> makeAttachmentViewController(
      QVObjectRef attachment);

 private:
  QVClass& define(std::string_view name, std::string_view superclass);
  void defineShellClasses();
  // One of the stand-in's own classes, whatever the profile hides from lookup.
  QVClass& known(std::string_view name);
  [[nodiscard]] bool offers(std::string_view cls, std::string_view selector) const;
  QVObjectRef generate(QVObjectRef html, QVObjectRef plain, QVObjectRef list, QVObjectRef headers);

  QVMailProfile profile_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::unique_ptr<QVClass>> classes_;
  std::mutex uuidMutex_;
  QVUuidSource uuids_;
  std::atomic<int> generatorRuns_{0};
  std::vector<std::string> registeredBundles_;
  int preferencesCalls_ = 0;
  std::shared_ptr<QVMailPreferencesController> preferencesController_;
  std::map<const QVClass*, QVObjectRef> modules_;
};

}  // namespace qv::mail
