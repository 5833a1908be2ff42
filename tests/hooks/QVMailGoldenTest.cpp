// Mail's own messages through the generator hook, held to golden files: whatever the parser
// learns about other mailers, what the hook makes of Mail's layouts stays byte for byte.
// NAME.in.eml is what Mail's own method writes for the hook's first run (the HTML without
// the moved pictures' tags, the files alone), NAME.out.eml what the hook makes of it; the
// Objective-C test Mail hands the bundle the same NAME.in.eml and holds it to NAME.out.eml.

#include <gtest/gtest.h>

#include "adapters/standin/QVExchange.h"
#include "adapters/standin/QVGeneratorHook.h"
#include "adapters/standin/QVMailPlugin.h"
#include "adapters/standin/QVPluginState.h"
#include "hooks/QVPluginRebuild.h"
#include "shell/QVSettings.h"
#include "standin/QVFoundation.h"
#include "standin/QVStandInMail.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

// One composed message: its HTML, and the list Mail hands the generator ("html:" pieces and
// files "type name cid", "-" for none).
struct Layout {
  const char* name;
  const char* html;
  std::vector<const char*> list;
  const char* sentHtml;  // what Mail's own method receives on the hook's first run
};

const std::vector<Layout> kLayouts = {
    {"picture", "<p>Hi <img src=\"cid:p1@x\"></p>", {"image/jpeg IMG_1.jpg <p1@x>"}, "<p>Hi </p>"},
    {"signature-and-picture",
     "<p>Hi <img src=\"cid:p1@x\"></p><img src=\"cid:s1@x\">",
     {"image/jpeg IMG_1.jpg <p1@x>", "image/png email-signature-1.png <s1@x>"},
     "<p>Hi </p><img src=\"cid:s1@x\">"},
    {"picture-and-pdf",
     "<p>Hi <img src=\"cid:p1@x\"></p>",
     {"image/png photo.png <p1@x>", "application/pdf report.pdf -"},
     "<p>Hi </p>"},
    {"pieces",
     "<p>one</p>",
     {"image/jpeg a.jpg <a@x>", "html:<p>two <img src=\"cid:a@x\"></p>", "image/gif b.gif <b@x>",
      "html:<p>three</p>"},
     "<p>two </p><p>three</p>"},
    {"unnamed-picture",
     "<p><img src=\"cid:u@x\"><img src=\"cid:p@x\"></p>",
     {"image/png - <u@x>", "image/png p.png <p@x>"},
     "<p><img src=\"cid:u@x\"></p>"},
    {"names",
     "<p>caf\xc3\xa9 <img src=\"cid:n1@x\"> <img src=\"cid:n2@x\"></p>",
     {"image/jpeg my photo.jpg <n1@x>", "image/png caf\xc3\xa9.png <n2@x>",
      "application/pdf a;b.pdf -"},
     "<p>caf\xc3\xa9  </p>"},
};

// The plug-in's traits alone, without its start-up, over the fixture's store and log.
class QVMailGolden : public test::QVContextTest {
 protected:
  void SetUp() override {
    QVContextTest::SetUp();
    standInPlugin().context = context;
  }
  void TearDown() override { QVMailPlugin::unload(); }
};

// The layout through Mail's generator: with the hook in place, or Mail's own method alone
// given what the hook's first run gives it (`sentHtml`, the files alone).
std::string generated(const Layout& layout, test::QVMemoryDefaults& defaults, bool hook) {
  mail::QVStandInMail mail;
  mail.setUuidSeed(11);
  writeDefaults(defaults);
  std::srand(20261208);
  if (hook) {
    EXPECT_TRUE(addGeneratorTraits(mail));
    EXPECT_TRUE(fun(mail, mail::kMessageGeneratorClass, mail::kNewMessage.name,
                    mail::kMessageGeneratorClass, kQVNewMessage.name, true));
  }
  std::vector<QVObjectRef> list;
  int n = 0;
  for (std::string item : layout.list) {
    if (item.rfind("html:", 0) == 0) {
      if (hook) list.push_back(mail.makeString(item.substr(5)));
      continue;
    }
    const std::size_t a = item.find(' '), b = item.rfind(' ');
    auto file = mail.makeAttachment(std::string(300 + 97 * n, static_cast<char>('A' + n)));
    ++n;
    file->mimeType = item.substr(0, a);
    if (std::string name = item.substr(a + 1, b - a - 1); name != "-") file->filename = name;
    if (std::string cid = item.substr(b + 1); cid != "-") file->contentID = cid;
    list.push_back(file);
  }
  QVObjectRef generator = mail.makeGenerator();
  QVObjectRef message =
      send(*generator, mail::kNewMessage, mail.makeString(hook ? layout.html : layout.sentHtml),
           mail.makeString("Hi, the text."), mail.makeArray(list),
           mail.makeHeaders({{"Subject", "golden"}, {"Date", "Thu, 1 Jan 2026 00:00:00 +0000"}}));
  std::string raw = dynamic_cast<const QVData&>(
                        *send(*message, mail::kValueForKey, std::string(mail::kRawDataKey)))
                        .bytes();
  return raw;
}

TEST_F(QVMailGolden, HookOutputForMailLayouts) {
  // The first message loads the codec module, whose start draws on rand(): once before.
  (void)generated(kLayouts.front(), defaults, true);
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const std::string out = generated(layout, defaults, true);
    test::expectGolden(test::goldenDir() / "mail" / (std::string(layout.name) + ".out.eml"), out);
    // Mail's own message for the first run, which the hook rebuilt into `out`.
    const std::string in = generated(layout, defaults, false);
    test::expectGolden(test::goldenDir() / "mail" / (std::string(layout.name) + ".in.eml"), in);
    std::srand(20261208);
    QVManipulator manipulator(in);
    const std::optional<QVRebuiltMessage> rebuilt = rebuildAsPlugin(manipulator, QVPluginContext{});
    EXPECT_TRUE(rebuilt && rebuilt->bytes() == out) << "the hook rebuilt Mail's own message";
  }
}

}  // namespace
}  // namespace qv
