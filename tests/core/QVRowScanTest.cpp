// Rows and UTF-8: the one pass over the raw message.

#include <gtest/gtest.h>

#include <random>

#include "core/QVManipulator.h"
#include "core/QVRowScan.h"
#include "core/QVRows.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

std::vector<std::string> rowsOf(std::string_view data) {
  QVManipulator m(data);
  std::vector<std::string> rows;
  for (std::uint32_t i = 0; i < m.rowCount(); ++i) rows.emplace_back(m.row(i));
  return rows;
}

TEST(QVRows, SplitAtEveryLineFeed) {
  struct Row {
    std::string data;
    std::vector<std::string> rows;
  };
  const Row table[] = {
      {"a\nb\n", {"a", "b", ""}},
      {"", {""}},
      {"a\r\nb", {"a\r", "b"}},
      {"\n\n", {"", "", ""}},
      {"only", {"only"}},
      // Longer than a vector block, with line feeds on both sides of its edges.
      {"0123456789abcde\nf0123456789abcdef\n\n0123456789abcdef0123456789",
       {"0123456789abcde", "f0123456789abcdef", "", "0123456789abcdef0123456789"}},
  };
  for (const Row& row : table) {
    EXPECT_EQ(rowsOf(row.data), row.rows) << "data: " << row.data;
  }
}

TEST(QVRows, Utf8Validity) {
  struct Row {
    std::string data;
    bool valid;
    const char* what;
  };
  const std::string pad(20, 'x');  // puts sequences across the vector blocks' edges
  const Row table[] = {
      {"plain ascii", true, "ASCII"},
      {"caf\xc3\xa9", true, "two bytes"},
      {"\xe2\x82\xac", true, "three bytes"},
      {"\xf0\x9f\x98\x80", true, "four bytes"},
      {std::string("nul\0byte", 8), true, "NUL is a character"},
      {pad.substr(0, 15) + "\xe2\x82\xac" + pad, true, "sequence across a block edge"},
      {pad.substr(0, 14) + "\xf0\x9f\x98\x80\n" + pad, true, "four bytes across an edge"},
      {"\xff" + pad, false, "invalid lead at the start"},
      {pad + "\xc3" + pad, false, "lead without continuation in the middle"},
      {pad + "\xe2\x82", false, "cut off at the end"},
      {"\xc0\xaf", false, "overlong two bytes"},
      {"\xe0\x80\xaf", false, "overlong three bytes"},
      {"\xf0\x80\x80\xaf", false, "overlong four bytes"},
      {"\xed\xa0\x80", false, "surrogate"},
      {"\xf4\x90\x80\x80", false, "above U+10FFFF"},
      {"\x80", false, "lone continuation"},
      {"\xc3\n", false, "line feed inside a sequence"},
  };
  for (const Row& row : table) {
    EXPECT_EQ(isValidUtf8(row.data), row.valid) << row.what;
    QVRowStarts starts;
    EXPECT_EQ(scanRows(row.data, starts), row.valid) << row.what;
    QVManipulator m(row.data);
    EXPECT_EQ(m.dataStr().has_value(), row.valid) << row.what;
    if (!row.valid) {
      EXPECT_EQ(m.rowCount(), 0u) << row.what;
    }
  }
}

TEST(QVRows, VectorScanAgreesWithBytewiseSplitting) {
  std::mt19937 random(11);
  const char alphabet[] = {'a', '\n', 'z', '\r', ' ', '-', '-'};
  for (int round = 0; round < 200; ++round) {
    std::string data;
    const int length = static_cast<int>(random() % 1000);
    for (int i = 0; i < length; ++i) {
      if (random() % 50 == 0) {
        data += "\xc3\xa9";
      } else {
        data.push_back(alphabet[random() % std::size(alphabet)]);
      }
    }
    QVRowStarts starts;
    QVRowStarts dashRows;
    ASSERT_TRUE(scanRows(data, starts, &dashRows));
    std::vector<std::uint32_t> expected{0};
    for (std::size_t i = 0; i < data.size(); ++i) {
      if (data[i] == '\n') expected.push_back(static_cast<std::uint32_t>(i + 1));
    }
    std::vector<std::uint32_t> expectedDashes;
    for (std::size_t r = 0; r < expected.size(); ++r) {
      if (data.compare(expected[r], 2, "--") == 0) {
        expectedDashes.push_back(static_cast<std::uint32_t>(r));
      }
    }
    expected.push_back(static_cast<std::uint32_t>(data.size() + 1));
    EXPECT_EQ(std::vector<std::uint32_t>(starts.begin(), starts.end()), expected);
    EXPECT_EQ(std::vector<std::uint32_t>(dashRows.begin(), dashRows.end()), expectedDashes);
  }
}

TEST(QVRows, NotUtf8HasNoRowsAndCollectsOnlyTheHeader) {
  QVManipulator m("Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n\xff\n--b--");
  EXPECT_FALSE(m.dataStr());
  ASSERT_EQ(m.bagAll().size(), 1u);
  EXPECT_FALSE(m.header().contentType);
  EXPECT_EQ(m.failure(), QVRebuildFailure::kNotUtf8);
}

// A message read in pieces of any size is scanned exactly as the whole: rows, "--" rows and
// the verdict on UTF-8, whatever falls across a piece's end (a line feed, the dashes after
// it, a multi-byte sequence, a broken one).
TEST(QVRows, PiecewiseScanAgreesWithTheWhole) {
  std::mt19937 random(23);
  const std::string alphabet[] = {
      "a", "\n", "-", "--", "\r\n", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "z"};
  const std::string broken[] = {"\xc3", "\xe2\x82", "\x80", "\xf0\x9f\x98"};
  for (int round = 0; round < 400; ++round) {
    std::string data;
    const int tokens = static_cast<int>(random() % 300);
    for (int t = 0; t < tokens; ++t) data += alphabet[random() % std::size(alphabet)];
    if (round % 5 == 0 && !data.empty()) {
      data.insert(random() % data.size(), broken[random() % std::size(broken)]);
    }
    QVRowStarts whole, wholeDashes;
    const bool wholeValid = scanRows(data, whole, &wholeDashes);

    QVRowStarts starts, dashes;
    QVRowScanner scanner(starts, &dashes);
    std::size_t at = 0;
    while (at < data.size()) {
      // Mostly tiny pieces, now and then a long one that the vector loop gets to read.
      const std::size_t piece = random() % 4 == 0 ? random() % 200 : random() % 5;
      scanner.feed(std::string_view(data).substr(at, piece));
      at += piece;
    }
    ASSERT_EQ(scanner.finish(), wholeValid) << "round " << round;
    if (!wholeValid) continue;
    EXPECT_EQ(std::vector<std::uint32_t>(starts.begin(), starts.end()),
              std::vector<std::uint32_t>(whole.begin(), whole.end()))
        << "round " << round;
    EXPECT_EQ(std::vector<std::uint32_t>(dashes.begin(), dashes.end()),
              std::vector<std::uint32_t>(wholeDashes.begin(), wholeDashes.end()))
        << "round " << round;
    // The rows, joined by line feeds, are the text again: no byte lost or doubled.
    const QVRows rows = scanMessage(data);
    std::string joined;
    for (std::uint32_t i = 0; i < rows.count; ++i) {
      if (i > 0) joined.push_back('\n');
      joined.append(rows.row(i));
    }
    EXPECT_EQ(joined, data) << "round " << round;
  }
}

}  // namespace
}  // namespace qv
