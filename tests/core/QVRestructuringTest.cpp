// The restructuring: rows of the rebuilt message, boundaries, counter and log.

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/QVManipulator.h"
#include "core/QVSettingKeys.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class QVRestructuring : public test::QVGlobalsTest {
 protected:
  void SetUp() override {
    QVGlobalsTest::SetUp();
    defaults.setValue("email-signature", keys::kSignatureFilename);
  }

  // Rebuilds and returns the rows with the two fresh boundaries written as B1 and B2.
  std::vector<std::string> rebuiltRows(const std::string& text) {
    log.lines.clear();
    QVManipulator m(text);
    std::optional<std::string> out = m.manipulateParts();
    EXPECT_TRUE(out.has_value()) << (m.failure() ? describe(*m.failure()) : "");
    if (!out) return {};
    EXPECT_EQ(log.lines.size(), 2u);
    if (log.lines.size() != 2) return {};
    const std::string b1 = boundaryIn(log.lines[0], "Boundary1::(");
    const std::string b2 = boundaryIn(log.lines[1], "Boundary2::(");
    EXPECT_EQ(b1.size(), 28u);
    EXPECT_EQ(b2.size(), 28u);
    EXPECT_NE(out->back(), '\n') << "the rebuilt message ends after the closing delimiter";
    return test::splitRows(replaceAll(replaceAll(*out, b1, "B1"), b2, "B2"));
  }

  static std::string boundaryIn(const std::string& line, const std::string& marker) {
    EXPECT_EQ(line.rfind("QVMailPlugin - " + marker, 0), 0u) << line;
    const std::size_t at = line.find(marker);
    if (at == std::string::npos || line.back() != ')') return {};
    return line.substr(at + marker.size(), line.size() - at - marker.size() - 1);
  }
};

const std::vector<std::string> kIncoming = {"Subject: Report",
                                            "Content-Type: multipart/alternative;",
                                            "\tboundary=\"TOP\"",
                                            "",
                                            "--TOP",
                                            "Content-Type: text/plain",
                                            "",
                                            "Hello.",
                                            "--TOP",
                                            "Content-Type: multipart/related;",
                                            "\tboundary=\"REL\"",
                                            "",
                                            "--REL",
                                            "Content-Type: text/html",
                                            "",
                                            "<p>Hello.</p><img src=\"cid:sig1\">",
                                            "--REL",
                                            "Content-Disposition: inline;",
                                            "\tfilename=email-signature.png",
                                            "Content-Type: image/png",
                                            "Content-Id: <sig1>",
                                            "",
                                            "iVBORw0KGgo=",
                                            "--REL",
                                            "Content-Disposition: inline;",
                                            "\tfilename=report.pdf",
                                            "Content-Type: application/pdf",
                                            "Content-Id: <pdf1>",
                                            "",
                                            "JVBERi0xLjQ=",
                                            "--REL--",
                                            "",
                                            "--TOP--"};

TEST_F(QVRestructuring, WorkedExampleRowForRow) {
  const std::vector<std::string> expected = {
      "Subject: Report",
      "Content-Type: multipart/mixed;",
      "\tboundary=\"TOP\"",
      "",
      "--TOP",
      "Content-Type: multipart/related; boundary=\"B1\"",
      "",
      "--B1",
      "Content-Type: multipart/alternative; boundary=\"B2\"",
      "",
      "--B2",
      "Content-Type: text/plain",
      "",
      "Hello.",
      "--B2",
      "Content-Type: text/html",
      "",
      "<p>Hello.</p><img src=\"cid:sig1\">",
      "--B2--",
      "--B1",
      "Content-Disposition: inline;",
      "\tfilename=email-signature.png",
      "Content-Type: image/png",
      "Content-Id: <sig1>",
      "",
      "iVBORw0KGgo=",
      "--B1--",
      "--TOP",
      "Content-Disposition: attachment;",
      "\tfilename=report.pdf",
      "Content-Type: application/pdf",
      "",
      "JVBERi0xLjQ=",
      "--TOP--",
  };
  EXPECT_EQ(rebuiltRows(test::joinRows(kIncoming)), expected);
  EXPECT_EQ(defaults.integerForKey(keys::kCount), 1);
}

TEST_F(QVRestructuring, GMimeReadsTheRebuiltTree) {
  const std::string text = test::joinRows(kIncoming);
  QVManipulator m(text);
  auto out = m.manipulateParts();
  ASSERT_TRUE(out);
  const test::QVMimeView view = test::parseMime(*out);
  ASSERT_TRUE(view.parsed);
  EXPECT_EQ(view.tree, "mixed[related[alternative[plain,html],png],pdf]");
  ASSERT_EQ(view.leaves.size(), 4u);
  EXPECT_EQ(view.leaves[2].contentId, "sig1");
  EXPECT_EQ(view.leaves[3].disposition, "attachment");
  EXPECT_EQ(view.leaves[3].contentId, "");
  EXPECT_EQ(view.leaves[3].body, "JVBERi0xLjQ=");
}

// Each row: the body parts of a message whose header has boundary "T", and the rebuilt
// rows after the header (B1, B2 standing for the fresh boundaries).
struct LayoutCase {
  const char* name;
  std::vector<std::string> body;
  std::vector<std::string> expected;
  std::int64_t count;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
  *os << c.name;
}

class QVLayouts : public QVRestructuring, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(QVLayouts, RowsAfterTheHeader) {
  std::vector<std::string> rows = {"Content-Type: multipart/alternative; boundary=\"T\"", ""};
  rows.insert(rows.end(), GetParam().body.begin(), GetParam().body.end());
  std::vector<std::string> got = rebuiltRows(test::joinRows(rows));
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0], "Content-Type: multipart/mixed; boundary=\"T\"");
  got.erase(got.begin(), got.begin() + 2);
  EXPECT_EQ(got, GetParam().expected);
  EXPECT_EQ(defaults.integerForKey(keys::kCount), GetParam().count);
}

const char* kPlain[] = {"--T", "Content-Type: text/plain", "", "p"};
const char* kHtml[] = {"--T", "Content-Type: text/html", "", "h"};

std::vector<std::string> parts(std::initializer_list<std::vector<std::string>> list) {
  std::vector<std::string> out;
  for (const auto& part : list) out.insert(out.end(), part.begin(), part.end());
  out.emplace_back("--T--");
  return out;
}
const std::vector<std::string> plain(std::begin(kPlain), std::end(kPlain));
const std::vector<std::string> html(std::begin(kHtml), std::end(kHtml));
std::vector<std::string> file(const std::string& name, const std::string& disposition) {
  return {"--T",
          disposition,
          "\tfilename=" + name,
          "Content-Type: application/pdf",
          "Content-Id: <" + name + ">",
          "",
          "DATA"};
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, QVLayouts,
    ::testing::Values(
        LayoutCase{"NoInlinePartsUseTheTopBoundary",
                   parts({plain, html}),
                   {"--T", "Content-Type: multipart/alternative; boundary=\"B2\"", "", "--B2",
                    "Content-Type: text/plain", "", "p", "--B2", "Content-Type: text/html", "", "h",
                    "--B2--", "--T--"},
                   0},
        LayoutCase{"NoPlainText",
                   parts({html}),
                   {"--T", "Content-Type: multipart/alternative; boundary=\"B2\"", "", "--B2",
                    "--B2", "Content-Type: text/html", "", "h", "--B2--", "--T--"},
                   0},
        LayoutCase{"NoHtml",
                   parts({plain}),
                   {"--T", "Content-Type: multipart/alternative; boundary=\"B2\"", "", "--B2",
                    "Content-Type: text/plain", "", "p", "--B2", "--B2--", "--T--"},
                   0},
        LayoutCase{"NothingAtAll",
                   {"--T", "--T--"},
                   {"--T", "Content-Type: multipart/alternative; boundary=\"B2\"", "", "--B2",
                    "--B2", "--B2--", "--T--"},
                   0},
        LayoutCase{"ThreeAttachmentsInOrder",
                   parts({plain, file("a", "Content-Disposition: inline;"),
                          file("b", "Content-Disposition: attachment;"),
                          file("c", "Content-Disposition: inline")}),
                   {"--T",
                    "Content-Type: multipart/alternative; boundary=\"B2\"",
                    "",
                    "--B2",
                    "Content-Type: text/plain",
                    "",
                    "p",
                    "--B2",
                    "--B2--",
                    "--T",
                    "Content-Disposition: attachment;",
                    "\tfilename=a",
                    "Content-Type: application/pdf",
                    "",
                    "DATA",
                    "--T",
                    "Content-Disposition: attachment;",
                    "\tfilename=b",
                    "Content-Type: application/pdf",
                    "",
                    "DATA",
                    "--T",
                    "Content-Disposition: attachment;",
                    "\tfilename=c",
                    "Content-Type: application/pdf",
                    "",
                    "DATA",
                    "--T--"},
                   3},
        // The disposition's parameters on its own row survive the new type.
        LayoutCase{
            "DispositionParametersKept",
            parts({{"--T", "Content-Disposition: inline; size=3", "\tfilename=a.png",
                    "Content-Type: image/png", "Content-Id: <a>", "", "PNG"},
                   {"--T", "Content-Disposition: attachment; filename=email-signature.gif",
                    "\tfilename=email-signature.gif", "Content-Type: image/gif", "", "GIF"}}),
            {"--T",
             "Content-Type: multipart/related; boundary=\"B1\"",
             "",
             "--B1",
             "Content-Type: multipart/alternative; boundary=\"B2\"",
             "",
             "--B2",
             "--B2",
             "--B2--",
             "--B1",
             "Content-Disposition: inline; filename=email-signature.gif",
             "\tfilename=email-signature.gif",
             "Content-Type: image/gif",
             "",
             "GIF",
             "--B1--",
             "--T",
             "Content-Disposition: attachment; size=3",
             "\tfilename=a.png",
             "Content-Type: image/png",
             "",
             "PNG",
             "--T--"},
            1},
        // A part without a disposition row gets none; an inline part keeps its Content-Id.
        LayoutCase{"NoDispositionRowAdded",
                   parts({{"--T", "Content-Type: application/zip", "\tfilename=z.zip",
                           "Content-Id: <z>", "", "ZIP"}}),
                   {"--T", "Content-Type: multipart/alternative; boundary=\"B2\"", "", "--B2",
                    "--B2", "--B2--", "--T", "Content-Type: application/zip", "\tfilename=z.zip",
                    "", "ZIP", "--T--"},
                   1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(QVRestructuring, HeaderTypeReplacement) {
  struct Row {
    std::string typeRow, expected;
  };
  const Row table[] = {
      {"Content-Type: multipart/mixed; boundary=\"T\"",
       "Content-Type: multipart/mixed; boundary=\"T\""},
      {"Content-Type: multipart/x; boundary=\"T\"; a=multipart/x",
       "Content-Type: multipart/mixed; boundary=\"T\"; a=multipart/mixed"},
      // The type's text also stands in the boundary, which must still match its rows.
      {"Content-Type: multipart/x; boundary=\"multipart/x-T\"",
       "Content-Type: multipart/mixed; boundary=\"multipart/x-T\""},
  };
  for (const Row& row : table) {
    const std::string b = row.typeRow.find("x-T") != std::string::npos ? "multipart/x-T" : "T";
    const std::string text =
        row.typeRow + "\n\n--" + b + "\nContent-Type: text/plain\n\nx\n--" + b + "--";
    auto rows = rebuiltRows(text);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], row.expected);
  }
}

TEST_F(QVRestructuring, CrLfMessagesStayCrLf) {
  std::vector<std::string> rows = kIncoming;
  for (auto& r : rows) r += "\r";
  rows.emplace_back("");
  const std::string text = test::joinRows(rows);
  QVManipulator m(text);
  auto out = m.manipulateParts();
  ASSERT_TRUE(out);
  const auto outRows = test::splitRows(*out);
  for (std::size_t i = 0; i + 1 < outRows.size(); ++i) {
    ASSERT_FALSE(outRows[i].empty()) << "row " << i;
    EXPECT_EQ(outRows[i].back(), '\r') << "row " << i << ": " << outRows[i];
  }
  EXPECT_EQ(outRows.back(), "--TOP--") << "the message ends after its closing delimiter";
  EXPECT_EQ(test::parseMime(*out).tree, "mixed[related[alternative[plain,html],png],pdf]");
}

TEST_F(QVRestructuring, LastRowWithoutLineFeedIsTerminated) {
  // A truncated message: its last part runs to the end of the data.
  const std::string text =
      "Content-Type: multipart/mixed; boundary=\"T\"\n\n--T\n"
      "Content-Type: text/plain\n\np\n--T\n"
      "Content-Type: application/pdf\n\tfilename=x.pdf\n\nDATA";
  auto rows = rebuiltRows(text);
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[rows.size() - 2], "DATA");
  EXPECT_EQ(rows.back(), "--T--");
}

TEST_F(QVRestructuring, FreshBoundaryThatStandsInTheMessageIsDrawnAgain) {
  std::srand(99);
  const std::string first = QVManipulator::createBoundary();
  const std::string text =
      "Content-Type: multipart/mixed; boundary=\"T\"\n\n--T\n"
      "Content-Type: text/plain\n\n--" +
      first + "\n--T--";
  std::srand(99);
  QVManipulator m(text);
  auto out = m.manipulateParts();
  ASSERT_TRUE(out);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0].find(first), std::string::npos);
  // GMime drops the empty HTML slot of the alternative.
  EXPECT_EQ(test::parseMime(*out).tree, "mixed[alternative[plain]]");
}

TEST_F(QVRestructuring, FreshBoundariesNeverStartWithTheTopBoundary) {
  // A one-character top boundary: every fresh boundary that begins with it would be read
  // as a delimiter of the top level.
  for (unsigned seed = 0; seed < 300; ++seed) {
    std::srand(seed);
    QVManipulator m(
        "Content-Type: multipart/mixed; boundary=\"a\"\n\n--a\n"
        "Content-Type: text/plain\n\nx\n--a--");
    log.lines.clear();
    ASSERT_TRUE(m.manipulateParts());
    for (const std::string& line : log.lines) {
      EXPECT_NE(line.substr(line.find("::(") + 3, 1), "a") << line;
    }
  }
}

TEST_F(QVRestructuring, PiecesJoinToTheBytes) {
  const std::string text = test::joinRows(kIncoming);
  QVManipulator m(text);
  auto rebuilt = m.rebuild();
  ASSERT_TRUE(rebuilt);
  std::string joined;
  for (std::string_view piece : rebuilt->pieces()) joined += piece;
  EXPECT_EQ(joined, rebuilt->bytes());
  EXPECT_EQ(joined.size(), rebuilt->size());
  EXPECT_EQ(rebuilt->attachmentCount(), 1u);
}

}  // namespace
}  // namespace qv
