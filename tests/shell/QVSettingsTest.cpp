// The defaults the start-up writes into the settings store.

#include <gtest/gtest.h>

#include "host/QVSettingKeys.h"
#include "shell/QVSettings.h"
#include "tests/support/QVMemoryDefaults.h"

#include <unistd.h>

#include <fstream>

namespace qv {
namespace {

TEST(QVSettings, EmptyStoreGetsExactlySixDefaults) {
  test::QVMemoryDefaults store;
  writeDefaults(store);
  EXPECT_EQ(store.size(), 6u);
  EXPECT_EQ(store.objectForKey(keys::kEnabled), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kAttachmentsAsIcons), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kSignatureImagesInline), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kSignatureFilename),
            QVDefaultsValue{std::string("email-signature")});
  EXPECT_EQ(store.objectForKey(keys::kDisableInlineAttachments), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kDisableInlineAttachmentsAll), QVDefaultsValue{false});
  EXPECT_FALSE(store.objectForKey(keys::kLegacy));
  EXPECT_FALSE(store.objectForKey(keys::kCount));
}

TEST(QVSettings, StoredValuesOfAnyKindAreLeftAlone) {
  struct Row {
    std::string_view key;
    QVDefaultsValue value;
  };
  const Row table[] = {
      {keys::kEnabled, false},
      {keys::kSignatureFilename, std::string()},
      {keys::kAttachmentsAsIcons, std::string("not a Boolean")},
      {keys::kDisableInlineAttachmentsAll, std::int64_t{5}},
  };
  for (const Row& row : table) {
    test::QVMemoryDefaults store;
    store.setObject(row.key, row.value);
    writeDefaults(store);
    EXPECT_EQ(store.objectForKey(row.key), row.value) << row.key;
    EXPECT_EQ(store.size(), 6u);
  }
}

}  // namespace
}  // namespace qv

#include <sstream>

#include "adapters/standin/QVMailPlugin.h"
#include "standin/QVMailDefaults.h"
#include "standin/QVMailHost.h"
#include "standin/QVPreferencesWindow.h"
#include "standin/QVStandInMail.h"

namespace qv {
namespace {

// The terminal pane: an empty answer keeps the file name; a change that cannot be saved says
// so at once, with the reason.
TEST(QVSettings, TerminalPaneKeepsTheNameAndShowsAFailedSave) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("stowlet-pane-" + std::to_string(::getpid()));
  fs::create_directories(dir / "sub");
  QVMailDefaults::Opened opened = QVMailDefaults::open(dir / "sub" / "d.plist");
  ASSERT_TRUE(opened.store) << opened.error;
  mail::QVStandInMail standIn;
  mail::QVMailHost host(standIn, *opened.store, mail::QVMailHost::defaultResources());
  QVMailPlugin::initialize(host);
  opened.store->setSavesEachChange(true);
  mail::QVPreferencesWindow window(
      host, mail::QVMailHost::defaultResources() / "QVPreferences.pane.plist");
  std::string error;
  ASSERT_TRUE(window.open(error)) << error;
  struct Row {
    const char* what;
    std::string answers;
    bool saveable;
    std::string name;   // the file name afterwards
    const char* shown;  // in the pane's output
  };
  const Row table[] = {
      {"empty answer", "4\n\nq\n", true, "email-signature", "Enter keeps it"},
      {"new name", "4\nlogo\nq\n", true, "logo", "\"logo\""},
      {"unsaveable", "4\nmark\nq\n", false, "mark", "Not saved: "},
  };
  for (const Row& row : table) {
    if (!row.saveable) {  // the settings' folder becomes a file
      fs::remove_all(dir / "sub");
      std::ofstream(dir / "sub") << "x";
    }
    std::istringstream in(row.answers);
    std::ostringstream out;
    window.interact(in, out, [&] { return opened.store->lastSaveError(); });
    EXPECT_EQ(opened.store->objectForKey(keys::kSignatureFilename), QVDefaultsValue{row.name})
        << row.what;
    EXPECT_NE(out.str().find(row.shown), std::string::npos) << row.what << "\n" << out.str();
  }
  QVMailPlugin::unload();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qv
