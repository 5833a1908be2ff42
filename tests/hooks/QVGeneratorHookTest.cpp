// The generator hook through the stand-in Mail: gate, walk, rewrite, Mail's own output.

#include <gtest/gtest.h>

#include "adapters/standin/QVExchange.h"
#include "adapters/standin/QVGeneratorHook.h"
#include "adapters/standin/QVMailPlugin.h"
#include "adapters/standin/QVPluginState.h"
#include "host/QVSettingKeys.h"
#include "shell/QVSettings.h"
#include "standin/QVFoundation.h"
#include "standin/QVStandInMail.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

using mail::QVStandInMail;

// What Mail's own method received.
struct Call {
  std::optional<std::string> html;
  bool plain = false;
  std::vector<std::string> list;  // "html:TEXT", "file:NAME", "other"
  QVObjectRef listObject;
};

enum class Sabotage { kNone, kNotOutgoing, kNoRawData, kUnrebuildable };

class QVHook : public test::QVContextTest {
 protected:
  explicit QVHook(mail::QVMailProfile profile = {}) : mail_(std::move(profile)) {}

  void SetUp() override {
    QVContextTest::SetUp();
    writeDefaults(defaults);
    standInPlugin().context = context;  // the plug-in's traits alone, without its start-up
    QVClass* generator = mail_.classNamed(mail::kMessageGeneratorClass);
    ASSERT_NE(generator, nullptr);
    // Mail's own method, recorded (and spoiled on request) around its real code.
    auto* entry = generator->instanceMethod(mail::kNewMessage.name);
    ASSERT_NE(entry, nullptr);
    real_ = std::any_cast<
        std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>>(
        entry->implementation);
    generator->addInstanceMethod(
        mail::kNewMessage,
        std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>(
            [this](QVObject& self, QVObjectRef html, QVObjectRef plain, QVObjectRef list,
                   QVObjectRef headers) { return recorded(self, html, plain, list, headers); }));
    ASSERT_TRUE(addGeneratorTraits(mail_));
    ASSERT_TRUE(fun(mail_, mail::kMessageGeneratorClass, mail::kNewMessage.name,
                    mail::kMessageGeneratorClass, kQVNewMessage.name, true));
    generator_ = mail_.makeGenerator();
  }
  void TearDown() override { QVMailPlugin::unload(); }

  QVObjectRef recorded(QVObject& self, QVObjectRef html, QVObjectRef plain, QVObjectRef list,
                       QVObjectRef headers) {
    Call call;
    call.html = stringValue(html);
    call.plain = plain != nullptr;
    call.listObject = list;
    if (auto* array = dynamic_cast<const QVArray*>(list.get())) {
      for (const auto& item : array->items()) {
        if (auto* file = dynamic_cast<const mail::QVMailAttachment*>(item.get())) {
          call.list.push_back("file:" + file->filename.value_or("-"));
        } else if (item && item->isKindOfClass(mail_.classNamed("__NSCFString"))) {
          call.list.push_back("html:" + *stringValue(item));
        } else {
          call.list.emplace_back("other");
        }
      }
    }
    calls.push_back(call);
    QVObjectRef message = real_(self, html, plain, list, headers);
    if (calls.size() > 1) return message;
    switch (sabotage) {
      case Sabotage::kNone: break;
      case Sabotage::kNotOutgoing: return mail_.makeOtherObject();
      case Sabotage::kNoRawData:
        static_cast<mail::QVMailOutgoingMessage&>(*message).rawData = nullptr;
        break;
      case Sabotage::kUnrebuildable:
        static_cast<mail::QVMailOutgoingMessage&>(*message).rawData =
            mail_.makeData("Content-Type: text/plain\n\nnot multipart");
        break;
    }
    return message;
  }

  QVObjectRef picture(const std::string& name, const std::optional<std::string>& cid,
                      const std::string& type = "image/png") {
    auto a = mail_.makeAttachment("PICTURE");
    a->mimeType = type;
    if (!name.empty()) a->filename = name;
    if (cid) a->contentID = *cid;
    return a;
  }

  QVObjectRef generate(const std::string& html, std::vector<QVObjectRef> list, bool plain = true) {
    return send(*generator_, mail::kNewMessage, mail_.makeString(html),
                plain ? mail_.makeString("text") : nullptr, mail_.makeArray(std::move(list)),
                mail_.makeHeaders({{"Subject", "s"}}));
  }

  static std::string raw(const QVObjectRef& message) {
    auto* m = dynamic_cast<const mail::QVMailOutgoingMessage*>(message.get());
    auto* data = m ? dynamic_cast<const QVData*>(m->rawData.get()) : nullptr;
    return data ? data->bytes() : "";
  }
  // Rebuilt by the plug-in: multipart/mixed on top (Mail's own has an alternative there).
  static bool rewritten(const QVObjectRef& message) {
    return test::parseMime(raw(message)).tree.rfind("mixed[", 0) == 0;
  }

  QVStandInMail mail_;
  std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)> real_;
  QVObjectRef generator_;
  std::vector<Call> calls;
  Sabotage sabotage = Sabotage::kNone;
};

TEST_F(QVHook, GateAndPassThroughs) {
  struct Row {
    const char* what;
    std::function<void()> arrange;
    std::function<std::vector<QVObjectRef>()> list;
    bool plain;
  };
  auto photo = [&] { return std::vector<QVObjectRef>{picture("photo.png", "<p1>")}; };
  const std::vector<Row> table = {
      {"switched off", [&] { defaults.setBool(false, keys::kEnabled); }, photo, true},
      {"legacy mode", [&] { defaults.setBool(true, keys::kLegacy); }, photo, true},
      {"no plain text", [] {}, photo, false},
      {"empty list", [] {}, [] { return std::vector<QVObjectRef>{}; }, true},
      {"no picture", [] {},
       [&] { return std::vector<QVObjectRef>{picture("a.pdf", "<d>", "application/pdf")}; }, true},
      {"signature only", [] {},
       [&] { return std::vector<QVObjectRef>{picture("my-email-signature.png", "<s>")}; }, true},
      {"unnamed picture", [] {}, [&] { return std::vector<QVObjectRef>{picture("", "<u>")}; },
       true},
      {"type in capitals", [] {},
       [&] { return std::vector<QVObjectRef>{picture("p.png", "<p>", "IMAGE/PNG")}; }, true},
      {"only other elements", [] {},
       [&] { return std::vector<QVObjectRef>{mail_.makeOtherObject()}; }, true},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    defaults.setBool(true, keys::kEnabled);
    defaults.setBool(false, keys::kLegacy);
    row.arrange();
    calls.clear();
    const std::string html = "<p>x<img src=\"cid:p1\" alt=1></p>";
    const QVObjectRef message = generate(html, row.list(), row.plain);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].html, html);
    EXPECT_FALSE(rewritten(message));
  }
  EXPECT_FALSE(defaults.objectForKey(keys::kCount));
}

TEST_F(QVHook, ListOfHtmlPiecesAroundAPicture) {
  const QVObjectRef a = mail_.makeString("<p>a<img src=\"cid:x1\" width=1></p>");
  const QVObjectRef b = mail_.makeString("<p>b</p>");
  const QVObjectRef message =
      generate("<p>ignored</p>", {a, picture("photo.png", "<x1>"), b, mail_.makeOtherObject()});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].html, "<p>a</p><p>b</p>");
  EXPECT_EQ(calls[0].list, (std::vector<std::string>{"file:photo.png"}));
  EXPECT_TRUE(rewritten(message));
  EXPECT_EQ(test::parseMime(raw(message)).tree, "mixed[alternative[plain,html],png]");
  EXPECT_EQ(defaults.integerForKey(keys::kCount), 1);
}

TEST_F(QVHook, KindsOfAttachment) {
  const std::string html =
      "<img src=\"cid:s1\" a=1><img src=\"cid:d1\" a=1><img src=\"cid:u1\" a=1>"
      "<img src=\"cid:w1\" a=1>";
  const QVObjectRef message = generate(
      html, {picture("email-signature.png", "<s1>"), picture("", "<u1>"),
             picture("photo.png", std::nullopt), picture("a.pdf", "<d1>", "application/pdf"),
             picture("walk.jpg", "<w1>", "image/jpeg")});
  ASSERT_EQ(calls.size(), 1u);
  // Only the named non-signature picture's tag goes; the list keeps every file.
  EXPECT_EQ(calls[0].html,
            "<img src=\"cid:s1\" a=1><img src=\"cid:d1\" a=1><img src=\"cid:u1\" a=1>");
  EXPECT_EQ(calls[0].list.size(), 5u);
  EXPECT_TRUE(rewritten(message));
  // Inline: the signature and the unnamed picture; attachments: photo, PDF, walk.
  EXPECT_EQ(test::parseMime(raw(message)).tree,
            "mixed[related[alternative[plain,html],png,png],png,pdf,jpeg]");
  EXPECT_EQ(defaults.integerForKey(keys::kCount), 3);
}

TEST_F(QVHook, IdentifiersDuplicatedShortOrEmpty) {
  std::vector<std::vector<std::string>> seen;
  mail_.classNamed(mail::kMessageGeneratorClass)
      ->addInstanceMethod(kRemoveTagsWithCids,
                          std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef)>(
                              [&](QVObject&, QVObjectRef html, QVObjectRef ids) {
                                std::vector<std::string> list;
                                for (const auto& id : dynamic_cast<const QVArray&>(*ids).items()) {
                                  list.push_back(*stringValue(id));
                                }
                                seen.push_back(list);
                                return html;
                              }));
  generate("h", {picture("a.png", "<x1>"), picture("b.png", "<x1>"), picture("c.png", "<>"),
                 picture("d.png", "x"), picture("e.png", "[yz]")});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (std::vector<std::string>{"x1", "x1", "yz"}));
}

TEST_F(QVHook, MailsOwnOutputWhenTheResultCannotBeRebuilt) {
  for (Sabotage s : {Sabotage::kNotOutgoing, Sabotage::kNoRawData, Sabotage::kUnrebuildable}) {
    sabotage = s;
    calls.clear();
    const QVObjectRef a = mail_.makeString("<p>a<img src=\"cid:x1\" width=1></p>");
    const QVObjectRef other = mail_.makeOtherObject();
    const QVObjectRef message =
        generate("<p>ignored</p>", {a, picture("photo.png", "<x1>"), other});
    ASSERT_EQ(calls.size(), 2u);
    // The second run: the joined HTML, not cleaned, and the list as it came.
    EXPECT_EQ(calls[1].html, "<p>a<img src=\"cid:x1\" width=1></p>");
    EXPECT_EQ(calls[1].list, (std::vector<std::string>{"html:<p>a<img src=\"cid:x1\" width=1></p>",
                                                       "file:photo.png", "other"}));
    EXPECT_FALSE(rewritten(message));
    EXPECT_NE(raw(message).find("multipart/"), std::string::npos) << "Mail's own message";
  }
}

TEST_F(QVHook, SignatureSettingAbsentOrNotAText) {
  for (auto setting : {std::optional<QVDefaultsValue>{}, std::optional<QVDefaultsValue>{true}}) {
    defaults.remove(keys::kSignatureFilename);
    if (setting) defaults.setObject(keys::kSignatureFilename, *setting);
    calls.clear();
    const QVObjectRef message = generate("h", {picture("email-signature.png", "<s>")});
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_FALSE(rewritten(message)) << "read as the default name: a signature picture";
  }
}

class QVHookWithoutAttachmentAccessors : public QVHook {
 protected:
  QVHookWithoutAttachmentAccessors()
      : QVHook([] {
          mail::QVMailProfile p;
          p.missingSelectors.insert({"MCAttachment", "mimeType"});
          return p;
        }()) {}
};

TEST_F(QVHookWithoutAttachmentAccessors, FailuresPassTheMessageThrough) {
  const QVObjectRef list_item = picture("photo.png", "<x1>");
  const QVObjectRef message = generate("<img src=\"cid:x1\" a=1>", {list_item});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].html, "<img src=\"cid:x1\" a=1>");
  EXPECT_FALSE(rewritten(message));
}

}  // namespace
}  // namespace qv
