// The stand-in Mail's generator writes Mail's format, which the parser and GMime read alike.

#include <gtest/gtest.h>

#include "core/QVManipulator.h"
#include "standin/QVFoundation.h"
#include "standin/QVStandInMail.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

class QVMessageWriterTest : public test::QVContextTest {
 protected:
  std::string generate(std::optional<std::string> plain, std::vector<QVObjectRef> list) {
    QVObjectRef generator = mail.makeGenerator();
    QVObjectRef message =
        send(*generator, mail::kNewMessage,
             mail.makeString("<p>caf\xc3\xa9 <img src=\"cid:p1\" a=1></p>"),
             plain ? mail.makeString(*plain) : nullptr, mail.makeArray(std::move(list)),
             mail.makeHeaders({{"From", "Bob <bob@example.net>"},
                               {"Subject",
                                "Gr\xc3\xbc\xc3\x9f"
                                "e"},
                               {"X-Extra", "1"},
                               {"Date", "Thu, 1 Jan 2026 00:00:00 +0000"}}));
    auto* data = dynamic_cast<const QVData*>(
        send(*message, mail::kValueForKey, std::string(mail::kRawDataKey)).get());
    return data ? data->bytes() : "";
  }
  std::shared_ptr<mail::QVMailAttachment> file(const std::string& name, const std::string& type,
                                               std::optional<std::string> cid) {
    auto a = mail.makeAttachment(std::string(3000, 'x'));
    a->filename = name;
    a->mimeType = type;
    a->contentID = std::move(cid);
    return a;
  }
  mail::QVStandInMail mail;
};

TEST_F(QVMessageWriterTest, LayoutsAsMailWritesThem) {
  struct Row {
    const char* what;
    bool plain;
    int layout;  // 0: no list, 1: pictures (related), 2: HTML pieces and files (mixed)
    const char* tree;
  };
  const Row table[] = {
      {"text only", true, 0, "alternative[plain,html]"},
      {"HTML alone", false, 0, "html"},
      {"pictures", true, 1, "alternative[plain,related[html,png,pdf]]"},
      {"pieces and files", true, 2, "alternative[plain,mixed[html,png,html]]"},
  };
  for (const Row& row : table) {
    std::vector<QVObjectRef> list;
    if (row.layout == 1)
      list = {file("a b.png", "image/png", "<p1>"), file("r.pdf", "application/pdf", std::nullopt)};
    if (row.layout == 2)
      list = {file("caf\xc3\xa9.png", "image/png", "<p1>"), mail.makeString("<p>more</p>")};
    const std::string raw =
        generate(row.plain ? std::optional<std::string>("caf\xc3\xa9") : std::nullopt, list);
    const auto view = test::parseMime(raw);
    EXPECT_EQ(view.tree, row.tree) << row.what << "\n" << raw.substr(0, 600);
    if (row.layout == 1) {
      EXPECT_NE(
          raw.find(
              "Content-Type: multipart/related;\n\ttype=\"text/html\";\n\tboundary=\"Apple-Mail=_"),
          std::string::npos);
      EXPECT_NE(
          raw.find(
              "Content-Disposition: inline;\n\tfilename=\"a b.png\"\nContent-Type: image/png;\n"
              "\tx-unix-mode=0644;\n\tname=\"a b.png\"\nContent-Id: <p1>\n\n"),
          std::string::npos);
      EXPECT_EQ(view.leaves[2].filename, "a b.png");
      EXPECT_EQ(view.leaves[2].contentId, "p1");
    }
    if (row.layout == 2) {
      EXPECT_NE(raw.find("filename*="), std::string::npos);
      EXPECT_EQ(view.leaves[2].filename, "caf\xc3\xa9.png");
      EXPECT_EQ(view.leaves[2].contentId, "p1") << "a file keeps its identifier in either layout";
    }
    // The header, as Mail orders it, with the boundary on its continuation row.
    if (row.layout == 0 && !row.plain) continue;  // a single part: its own field order
    EXPECT_EQ(raw.rfind("From: Bob <bob@example.net>\nContent-Type: multipart/", 0), 0u)
        << row.what;
    EXPECT_NE(raw.find(";\n\tboundary=\"Apple-Mail=_"), std::string::npos);
    EXPECT_NE(raw.find("Mime-Version: 1.0 (Mac OS X Mail 16.0 \\(3731.500.231\\))\nSubject: =?"),
              std::string::npos);
    EXPECT_NE(raw.find("\nX-Extra: 1\n"), std::string::npos);
    EXPECT_EQ(raw.back(), '\n');
  }
}

TEST_F(QVMessageWriterTest, TheParserReadsWhatTheGeneratorWrites) {
  const std::string raw = generate("text", {file("photo.png", "image/png", "<p1>"),
                                            file("email-signature.png", "image/png", "<s1>")});
  QVManipulator m(raw);
  ASSERT_NE(m.partTextPlain(), nullptr);
  ASSERT_NE(m.partTextHtml(), nullptr);
  EXPECT_EQ(m.bagInline().size(), 1u);
  EXPECT_EQ(m.bagAttach().size(), 1u);
  EXPECT_EQ(m.failure(), std::nullopt);
}

TEST_F(QVMessageWriterTest, ReproducibleWithASeed) {
  mail.setUuidSeed(7);
  const std::string first = generate("t", {});
  mail.setUuidSeed(7);
  EXPECT_EQ(generate("t", {}), first);
}

}  // namespace
}  // namespace qv
