// Hostile inputs, each with its defined outcome: no crash, no hang, a stated result.

#include <gtest/gtest.h>

#include <chrono>

#include "core/QVManipulator.h"
#include "hooks/QVTagRemoval.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

using namespace std::string_literals;

class QVHostile : public ::testing::Test {};

std::string twoParts(const std::string& boundary) {
  return "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n--" + boundary +
         "\nContent-Type: text/plain\n\nt\n--" + boundary +
         "\nContent-Type: image/png\n\tfilename=p.png\nContent-Disposition: inline\n\nPNG\n--" +
         boundary + "--";
}

TEST_F(QVHostile, OutcomeTable) {
  struct Row {
    const char* what;
    std::string input;
    std::optional<QVRebuildFailure> failure;  // nothing: rebuilt
  };
  const std::string header = "Content-Type: multipart/mixed; boundary=\"b\"\n\n";
  const std::vector<Row> table = {
      {"empty input", "", QVRebuildFailure::kNoContentType},
      {"only line feeds", std::string(1 << 20, '\n'), QVRebuildFailure::kNoContentType},
      {"no line feed in 10 MB",
       "Content-Type: multipart/mixed; boundary=\"b\"" + std::string(10 << 20, 'x'),
       QVRebuildFailure::kNoDelimiterRow},
      {"no line feed after the header", header + "--b" + std::string(10 << 20, 'y'),
       QVRebuildFailure::kNoTextBody},
      {"invalid UTF-8 at the start", "\xc0" + twoParts("b"), QVRebuildFailure::kNotUtf8},
      {"invalid UTF-8 in the middle",
       header + "--b\nContent-Type: text/plain\n\n\xed\xa0\x80\n--b--", QVRebuildFailure::kNotUtf8},
      {"invalid UTF-8 at the end", twoParts("b") + "\xe2\x82", QVRebuildFailure::kNotUtf8},
      {"NUL bytes",
       "Content-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain\n\na\0b\n--b--"s,
       std::nullopt},
      {"a boundary of one character", twoParts("z"), std::nullopt},
      {"a boundary of 200 characters", twoParts(std::string(200, 'q')), std::nullopt},
      {"delimiter rows without a closing row",
       header + "--b\nContent-Type: text/plain\n\nt\n--b\nContent-Type: "
                "image/gif\n\tfilename=g.gif\nContent-Disposition: inline\n\nGIF",
       std::nullopt},
      {"rows of only dashes", header + std::string(100000, '-') + "\n--b\n--\n---\n--b--",
       QVRebuildFailure::kNoTextBody},
  };
  for (const Row& row : table) {
    QVManipulator m(row.input);
    QVSeededBoundaries source;
    std::optional<std::string> out = m.manipulateParts(source);
    EXPECT_EQ(m.failure(), row.failure) << row.what;
    EXPECT_EQ(out.has_value(), !row.failure.has_value()) << row.what;
    if (out) {
      EXPECT_NE(out->back(), '\n') << row.what;
      if (out->size() < 100000) {
        EXPECT_EQ(test::parseMime(*out).tree.rfind("mixed[", 0), 0u) << row.what << "\n" << *out;
      }
    }
  }
}

TEST_F(QVHostile, AMillionTinyParts) {
  std::string text =
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nt\n--b\n";
  constexpr int kParts = 1000000;
  text.reserve(static_cast<std::size_t>(kParts) * 60);
  for (int i = 0; i < kParts; ++i) {
    text += "Content-Type: application/x\nContent-Disposition: inline\n\nd\n--b\n";
  }
  text += "--b--";
  QVManipulator m(text);
  QVSeededBoundaries source;
  auto rebuilt = m.rebuild(source);
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(rebuilt->attachmentCount(), static_cast<std::size_t>(kParts) + 0u);
}

TEST_F(QVHostile, FiveMegabytesOfOpenImageTags) {
  std::string html;
  while (html.size() < (5u << 20)) html += "<img";
  EXPECT_EQ(removeTagsWithCids(html, {"a", "b(", "[c*"}), html);
}

}  // namespace
}  // namespace qv
