// The plug-in in Mail: start-up, display policy, menu toggle, preferences pane.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "adapters/standin/QVGeneratorHook.h"
#include "adapters/standin/QVMailPlugin.h"
#include "adapters/standin/QVPluginState.h"
#include "adapters/standin/QVPreferences.h"
#include "host/QVSettingKeys.h"
#include "standin/QVFoundation.h"
#include "standin/QVMailHost.h"
#include "standin/QVStandInMail.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// A fresh Mail with the plug-in's state forgotten; the start-up runs when the test asks.
class QVShell : public test::QVContextTest {
 protected:
  void SetUp() override {
    QVContextTest::SetUp();
    QVMailPlugin::unload();
  }
  void TearDown() override {
    QVMailPlugin::unload();
    host.reset();
    mail.reset();
  }

  void launch(mail::QVMailProfile profile = {},
              fs::path resources = STOWLET_SOURCE_DIR "/resources") {
    mail = std::make_unique<mail::QVStandInMail>(std::move(profile));
    host = std::make_unique<mail::QVMailHost>(*mail, defaults, std::move(resources), &log);
    host->setAlertResponder(
        [this](const std::string& message, const std::vector<std::string>& buttons) {
          alerts.push_back(message + " [" + (buttons.empty() ? "" : buttons[0]) + "]");
          return 0;
        });
    host->setOpener([this](const std::string& url) { opened.push_back(url); });
  }
  void start(mail::QVMailProfile profile = {}) {
    launch(std::move(profile));
    QVMailPlugin::initialize(*host);
  }

  // Mail laying out an attachment of that name.
  bool shownInline(const std::optional<std::string>& name) {
    auto file = mail->makeAttachment("x");
    file->mimeType = "image/png";
    file->filename = name;
    auto controller = mail->makeAttachmentViewController(file);
    if (standInPlugin().qvMenuItem) {
      EXPECT_TRUE(send(*controller, mail::kCanBeDisplayedInline));
    }
    return send(*controller, mail::kShouldBeDisplayedInlineByDefault);
  }

  QVObjectRef preferencesController() {
    return send(*mail->classNamed("NSPreferences"), mail::kSharedPreferences);
  }

  std::unique_ptr<mail::QVStandInMail> mail;
  std::unique_ptr<mail::QVMailHost> host;
  std::vector<std::string> alerts;
  std::vector<std::string> opened;
};

TEST_F(QVShell, DisplayDecisionTable) {
  start();
  struct Row {
    bool enabled, aai, dsi;
    std::optional<QVDefaultsValue> signature;  // nothing: the setting is absent
    std::optional<std::string> filename;
    bool inlineByDefault;
  };
  const std::string sig = "email-signature";
  const Row table[] = {
      {false, false, false, sig, "photo.jpg", true},
      {true, false, true, sig, "photo.jpg", true},
      {true, true, false, sig, "email-signature.png", false},
      {true, true, true, sig, std::nullopt, true},
      {true, true, true, sig, "email-signature.png", true},
      {true, true, true, sig, "my-email-signature-2.jpg", true},
      {true, true, true, sig, "Email-Signature.png", false},
      {true, true, true, sig, "photo.jpg", false},
      {true, true, true, std::string(), "photo.jpg", false},
      // Absent or not a text: the default name.
      {true, true, true, std::nullopt, "email-signature.png", true},
      {true, true, true, QVDefaultsValue{std::int64_t{1}}, "email-signature.png", true},
  };
  for (const Row& row : table) {
    defaults.setBool(row.enabled, keys::kEnabled);
    defaults.setBool(row.aai, keys::kAttachmentsAsIcons);
    defaults.setBool(row.dsi, keys::kSignatureImagesInline);
    defaults.remove(keys::kSignatureFilename);
    if (row.signature) defaults.setObject(keys::kSignatureFilename, *row.signature);
    EXPECT_EQ(shownInline(row.filename), row.inlineByDefault)
        << row.enabled << row.aai << row.dsi << " " << row.filename.value_or("(none)");
  }
}

TEST_F(QVShell, MenuItemGoesBehindTheFirstItem) {
  launch();
  auto menu = std::make_shared<QVMenu>("Mail");
  menu->addItem(std::make_shared<QVMenuItem>("A", nullptr, ""));
  menu->addItem(QVMenuItem::separatorItem());
  menu->addItem(std::make_shared<QVMenuItem>("B", nullptr, ""));
  host->mainMenu()->itemAtIndex(0)->setSubmenu(menu);
  defaults.setBool(false, keys::kEnabled);
  QVMailPlugin::initialize(*host);
  std::vector<std::string> titles;
  for (std::size_t i = 0; i < menu->numberOfItems(); ++i) {
    auto item = menu->itemAtIndex(i);
    titles.push_back(item->isSeparator() ? "-" : item->title());
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"A", "-", "QV's Stowlet", "-", "B"}));
  auto item = menu->itemAtIndex(2);
  EXPECT_EQ(item->state(), QVMenuItem::kOff) << "the stored false shows no check mark";
  EXPECT_EQ(item->toolTip(), "Enable/Disable QV's Stowlet Plugin");
  EXPECT_EQ(item->target(), "QVMailPlugin");
  EXPECT_TRUE(item->isEnabled());
}

TEST_F(QVShell, Toggles) {
  start();
  ASSERT_TRUE(standInPlugin().qvMenuItem);
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOn);
  standInPlugin().qvMenuItem->pick();
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOff);
  EXPECT_FALSE(defaults.boolForKey(keys::kEnabled));
  standInPlugin().qvMenuItem->pick();
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOn);
  EXPECT_TRUE(defaults.boolForKey(keys::kEnabled));
  // The state the item shows already: nothing changes, not even a store changed outside.
  defaults.setBool(true, keys::kEnabled);
  QVMailPlugin::toggleTo(true);
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOn);
  // Store set to false from outside, item on: toggleTo(false) sends toggle:, which decides
  // by the store and turns both on.
  defaults.setBool(false, keys::kEnabled);
  QVMailPlugin::toggleTo(false);
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOn);
  EXPECT_TRUE(defaults.boolForKey(keys::kEnabled));
  QVMailPlugin::toggleOff();
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOff);
  EXPECT_FALSE(defaults.boolForKey(keys::kEnabled));
  QVMailPlugin::toggleOn();
  EXPECT_TRUE(defaults.boolForKey(keys::kEnabled));
}

TEST_F(QVShell, TogglesWithoutAMenuItemActOnTheSettingAlone) {
  mail::QVMailProfile profile;
  profile.missingClasses.insert("MVMailBundle");
  start(profile);
  ASSERT_FALSE(standInPlugin().qvMenuItem);
  QVMailPlugin::toggle(nullptr);
  EXPECT_FALSE(defaults.boolForKey(keys::kEnabled));
  QVMailPlugin::toggleTo(true);
  EXPECT_TRUE(defaults.boolForKey(keys::kEnabled));
  QVMailPlugin::toggleTo(true);
  EXPECT_TRUE(defaults.boolForKey(keys::kEnabled));
}

TEST_F(QVShell, PaneIsAddedOnceAndOnlyOnceThereIsAController) {
  mail::QVMailProfile profile;
  profile.preferencesAbsentCalls = 1;
  start(profile);
  EXPECT_FALSE(preferencesController()) << "no controller on the first call";
  EXPECT_FALSE(standInPlugin().context.preferencesAdded);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(preferencesController());
  auto controller = mail->preferencesController();
  ASSERT_EQ(controller->panes.size(), 1u);
  EXPECT_EQ(controller->panes[0].first, "Stowlet");
  for (const auto& line : log.lines)
    EXPECT_EQ(line.find("Preference notice 42"), std::string::npos);
}

TEST_F(QVShell, WindowWithAToolbarGetsANotice) {
  mail::QVMailProfile profile;
  profile.windowHasToolbar = true;
  start(profile);
  ASSERT_TRUE(preferencesController());
  EXPECT_EQ(log.lines.back(), "QVMailPlugin - Preference notice 42");
}

TEST_F(QVShell, PaneProperties) {
  start();
  ASSERT_TRUE(preferencesController());
  QVObjectRef pane = mail->preferencesController()->panes.at(0).second;
  // The file name: nothing stores the default, an empty text stays empty.
  send(*pane, kSetFilename, QVObjectRef());
  EXPECT_EQ(defaults.objectForKey(keys::kSignatureFilename),
            QVDefaultsValue{std::string("email-signature")});
  send(*pane, kSetFilename, mail->makeString(""));
  EXPECT_EQ(defaults.objectForKey(keys::kSignatureFilename), QVDefaultsValue{std::string()});
  EXPECT_EQ(stringValue(send(*pane, kFilenameProperty)), "");
  // The legacy option alerts every time, after storing.
  send(*pane, kSetIsLegacy, true);
  send(*pane, kSetIsLegacy, true);
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0],
            "Changing this setting requires Mail app restart.\n\nPlease restart your Mail app, "
            "thank you. [OK]");
  EXPECT_TRUE(defaults.boolForKey(keys::kLegacy));
  // Booleans read and write their settings; the switch goes through the menu item.
  send(*pane, kSetIsDisplayAttachmentsAsIcons, false);
  EXPECT_FALSE(defaults.boolForKey(keys::kAttachmentsAsIcons));
  EXPECT_FALSE(send(*pane, kIsDisplayAttachmentsAsIcons));
  send(*pane, kSetIsPluginEnabled, false);
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOff);
  EXPECT_FALSE(send(*pane, kIsPluginEnabled));
  // Re-published before showing: the store follows the menu item where they disagree.
  defaults.setBool(true, keys::kEnabled);
  send(*pane, mail::kWillBeDisplayed);
  EXPECT_EQ(standInPlugin().qvMenuItem->state(), QVMenuItem::kOff);
  EXPECT_FALSE(defaults.boolForKey(keys::kEnabled));
  // Version, icon for any name, support page, the stored string of no setting.
  EXPECT_EQ(send(*pane, kVersion), "Version: 0.1.0");
  const auto icon = send(*pane, mail::kImageForPreferenceNamed, std::string("anything"));
  ASSERT_TRUE(icon);
  EXPECT_EQ(fs::path(*icon).filename(), "QVStowletIcon.png");
  send(*pane, kOpenSupport, QVObjectRef());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].substr(opened[0].size() - 4), "/faq");
  send(*pane, kSetPaneSignatureFilename, mail->makeString("kept"));
  EXPECT_EQ(stringValue(send(*pane, kPaneSignatureFilename)), "kept");
}

TEST_F(QVShell, VersionComesFromTheBundle) {
  const fs::path dir = fs::temp_directory_path() / ("stowlet-bundle-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "Info.plist")
      << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key>"
         "<string>1.2</string></dict></plist>";
  launch({}, dir);
  QVMailPlugin::initialize(*host);
  ASSERT_TRUE(preferencesController());
  EXPECT_EQ(send(*mail->preferencesController()->panes.at(0).second, kVersion), "Version: 1.2");
  fs::remove_all(dir);
}

// What each stop of the start-up leaves installed.
struct StartUpRow {
  const char* what;
  mail::QVMailProfile profile;
  std::string lastLine;
  bool registered, hook, display, preferences, menu;
};

mail::QVMailProfile without(std::string cls, std::string selector = {}) {
  mail::QVMailProfile p;
  if (selector.empty()) {
    p.missingClasses.insert(std::move(cls));
  } else {
    p.missingSelectors.insert({std::move(cls), std::move(selector)});
  }
  return p;
}

TEST_F(QVShell, StartUpTable) {
  const StartUpRow table[] = {
      {"no bundle support", without("MVMailBundle"), "Bundle support not available.", false, false,
       false, false, false},
      {"no generator method", without("MCMessageGenerator", std::string(mail::kNewMessage.name)),
       "Failed (0x002a).", true, false, false, false, false},
      {"no inline default question",
       without("AttachmentViewController", "shouldBeDisplayedInlineByDefault"), "Failed (0x003).",
       true, true, false, false, false},
      {"no can-be-inline question", without("AttachmentViewController", "canBeDisplayedInline"),
       "Failed (0x004).", true, true, true, false, false},
      {"no preferences controller", without("NSPreferences", "sharedPreferences"),
       "Failed (0x100).", true, true, true, false, false},
      {"everything", {}, "Ready.", true, true, true, true, true},
  };
  for (const StartUpRow& row : table) {
    SCOPED_TRACE(row.what);
    TearDown();
    SetUp();
    std::srand(7);
    const int unseeded = std::rand();
    std::srand(7);
    const std::time_t before = std::time(nullptr);
    start(row.profile);
    const int next = std::rand();
    const std::time_t after = std::time(nullptr);

    EXPECT_EQ(defaults.size(), 6u) << "the defaults are written first";
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back(), "QVMailPlugin - " + row.lastLine);
    EXPECT_EQ(!mail->registeredBundles().empty(), row.registered);
    // The hook: the generator's own selector now runs the plug-in's code.
    QVMethod* generator =
        mail->classNamed("MCMessageGenerator")->instanceMethod(kQVNewMessage.name);
    QVMethod* own = mail->classNamed("MCMessageGenerator")->instanceMethod(mail::kNewMessage.name);
    if (own != nullptr && generator != nullptr) {
      using Generate =
          std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>;
      const auto* hook = std::any_cast<Generate>(&own->implementation);
      ASSERT_NE(hook, nullptr);
      // Mail's own implementation, as a Mail without the plug-in has it.
      mail::QVStandInMail untouched;
      const auto* mails = std::any_cast<Generate>(&untouched.classNamed("MCMessageGenerator")
                                                       ->instanceMethod(mail::kNewMessage.name)
                                                       ->implementation);
      ASSERT_NE(mails, nullptr);
      EXPECT_EQ(hook->target_type() != mails->target_type(), row.hook);
    } else {
      EXPECT_FALSE(row.hook);
    }
    // The display policy: a photo is an icon with the plug-in, inline with Mail's own answer.
    if (mail->classNamed("AttachmentViewController")
            ->instanceMethod("shouldBeDisplayedInlineByDefault")) {
      EXPECT_EQ(!shownInline(std::string("photo.png")), row.display);
    }
    EXPECT_EQ(bool(standInPlugin().qvMenuItem), row.menu);
    EXPECT_EQ(host->imageNamed("QVStowletIcon").has_value(), row.menu)
        << "the icon is named with the menu";
    if (row.preferences) {
      EXPECT_TRUE(preferencesController());
      EXPECT_TRUE(standInPlugin().context.preferencesAdded);
    }
    // Seeded with the time only when the start-up completes.
    bool seeded = false;
    for (std::time_t t = before; t <= after && !seeded; ++t) {
      std::srand(static_cast<unsigned>(t));
      seeded = std::rand() == next;
    }
    EXPECT_EQ(seeded, row.menu);
    if (!row.menu) {
      EXPECT_EQ(next, unseeded) << "the sequence goes on unseeded";
    }
  }
}

}  // namespace
}  // namespace qv
