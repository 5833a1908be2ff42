// An independent reading of what the restructuring writes: messages in Mail's format with a
// random make-up go through it, and GMime must find every leaf body of the input in the
// result, the text alternatives first, and the moved pictures as attachments.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#include "core/QVManipulator.h"
#include "host/QVSettingKeys.h"
#include "standin/QVFoundation.h"
#include "standin/QVStandInMail.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct Generated {
  std::string raw;
  int namedPictures = 0;  // pictures that must become attachments
};

// A message as the stand-in Mail writes it, with random pictures, files and HTML pieces,
// some signature pictures, some unnamed; a quarter with CR LF line ends.
Generated generate(mail::QVStandInMail& mail, std::mt19937& random) {
  std::vector<QVObjectRef> list;
  Generated g;
  const int items = static_cast<int>(random() % 6);
  const bool pieces = random() % 3 == 0;
  for (int i = 0; i < items; ++i) {
    if (pieces && random() % 3 == 0) {
      list.push_back(mail.makeString("<p>piece " + std::to_string(i) + "</p>"));
      continue;
    }
    std::string bytes(static_cast<std::size_t>(random() % 3000 + 1), '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    auto file = mail.makeAttachment(bytes);
    const int kind = static_cast<int>(random() % 5);
    file->mimeType = kind == 4 ? "application/pdf" : (kind % 2 ? "image/png" : "image/jpeg");
    const bool named = random() % 5 != 0;
    const bool signature = random() % 4 == 0;
    if (named) {
      file->filename = signature ? "email-signature-" + std::to_string(i) + ".png"
                                 : (random() % 2 ? "photo " : "IMG_") + std::to_string(i) +
                                       (kind == 4 ? ".pdf" : ".jpg");
    }
    if (random() % 4 != 0) file->contentID = "<id" + std::to_string(i) + "@example.net>";
    if (kind != 4 && named && !signature) ++g.namedPictures;
    list.push_back(file);
  }
  QVObjectRef generator = mail.makeGenerator();
  QVObjectRef message =
      send(*generator, mail::kNewMessage,
           mail.makeString("<p>caf\xc3\xa9 <img src=\"cid:id0@example.net\" a=1></p>"),
           mail.makeString(random() % 2 ? "plain text" : "caf\xc3\xa9 \xef\xbf\xbc"),
           mail.makeArray(list),
           mail.makeHeaders({{"Subject", "s"}, {"Date", "Thu, 1 Jan 2026 00:00:00 +0000"}}));
  g.raw = dynamic_cast<const QVData&>(
              *send(*message, mail::kValueForKey, std::string(mail::kRawDataKey)))
              .bytes();
  if (random() % 4 == 0) {
    std::string crlf;
    for (char c : g.raw) {
      if (c == '\n') crlf.push_back('\r');
      crlf.push_back(c);
    }
    g.raw = crlf;
  }
  return g;
}

// The raw bodies of the leaves; without the text, which may be joined from its pieces.
std::vector<std::string> sortedBodies(const test::QVMimeView& view, bool withText) {
  std::vector<std::string> out;
  for (const auto& leaf : view.leaves) {
    if (!leaf.body.empty() && (withText || leaf.type.rfind("text/", 0) != 0)) {
      out.push_back(leaf.body);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The text of a kind as a reader gets it: its pieces decoded, in order.
std::string textOf(const test::QVMimeView& view, const std::string& type) {
  std::string out;
  for (const auto& leaf : view.leaves) {
    if (leaf.type == type) out += leaf.decoded;
  }
  return out;
}

// `joined`: the text pieces were joined into one body, so the text reads the same.
void expectSameLeaves(const std::string& input, const std::string& output, int namedPictures,
                      bool joined) {
  const test::QVMimeView before = test::parseMime(input);
  const test::QVMimeView after = test::parseMime(output);
  ASSERT_TRUE(after.parsed);
  EXPECT_TRUE(after.tree.rfind("mixed[alternative[plain", 0) == 0 ||
              after.tree.rfind("mixed[related[alternative[plain", 0) == 0)
      << after.tree;
  EXPECT_EQ(sortedBodies(after, !joined), sortedBodies(before, !joined))
      << before.tree << " -> " << after.tree;
  if (joined) {
    EXPECT_EQ(textOf(after, "text/html"), textOf(before, "text/html"));
    EXPECT_EQ(textOf(after, "text/plain"), textOf(before, "text/plain"));
  }
  int attachedPictures = 0;
  for (const auto& leaf : after.leaves) {
    if (leaf.disposition != "attachment") continue;
    EXPECT_EQ(leaf.contentId, "") << leaf.filename;
    if (leaf.type.rfind("image/", 0) == 0) ++attachedPictures;
  }
  EXPECT_EQ(attachedPictures, namedPictures) << after.tree;
}

class QVOracle : public test::QVContextTest {
 protected:
  void SetUp() override {
    QVContextTest::SetUp();
    defaults.setValue("email-signature", keys::kSignatureFilename);
  }
};

TEST_F(QVOracle, GeneratedMessagesKeepEveryLeaf) {
  mail::QVStandInMail mail;
  mail.setUuidSeed(3);
  std::mt19937 random(2026);
  for (int round = 0; round < 300; ++round) {
    const Generated g = generate(mail, random);
    SCOPED_TRACE("round " + std::to_string(round));
    QVManipulator m(g.raw);
    QVSeededBoundaries source(static_cast<std::uint32_t>(round));
    std::optional<std::string> out = m.manipulateParts(source);
    ASSERT_TRUE(out) << describe(*m.failure());
    expectSameLeaves(g.raw, *out, g.namedPictures, false);
  }
}

TEST_F(QVOracle, GeneratedMessagesThroughTheCommand) {
  mail::QVStandInMail mail;
  mail.setUuidSeed(4);
  std::mt19937 random(7);
  const fs::path dir = fs::temp_directory_path() / ("stowlet-oracle-" + std::to_string(::getpid()));
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "out");
  std::vector<Generated> messages;
  std::string command = std::string(STOWLET_BUILT_BIN) + " --defaults " +
                        (dir / "d.plist").string() + " rewrite -q --keep-html -o " +
                        (dir / "out").string();
  for (int i = 0; i < 40; ++i) {
    messages.push_back(generate(mail, random));
    const fs::path file = dir / "in" / ("m" + std::to_string(i) + ".eml");
    std::ofstream(file, std::ios::binary) << messages.back().raw;
    command += " " + file.string();
  }
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    expectSameLeaves(messages[static_cast<std::size_t>(i)].raw,
                     test::readFile(dir / "out" / ("m" + std::to_string(i) + ".eml")),
                     messages[static_cast<std::size_t>(i)].namedPictures, true);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qv
