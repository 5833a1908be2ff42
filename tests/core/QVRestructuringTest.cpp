// The restructuring: rows of the rebuilt message, its boundaries and attachment count.

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/QVManipulator.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class QVRestructuring : public ::testing::Test {
 protected:
  // Rebuilds and returns the rows with the two fresh boundaries written as B1 and B2.
  std::vector<std::string> rebuiltRows(const std::string& text) {
    QVManipulator m(text);
    QVSeededBoundaries source;
    std::optional<QVRebuiltMessage> rebuilt = m.rebuild(source);
    EXPECT_TRUE(rebuilt.has_value()) << (m.failure() ? describe(*m.failure()) : "");
    if (!rebuilt) return {};
    attachments = rebuilt->attachmentCount();
    const std::string b1 = rebuilt->relatedBoundary();
    const std::string b2 = rebuilt->alternativeBoundary();
    EXPECT_EQ(b1.size(), 28u);
    EXPECT_EQ(b2.size(), 28u);
    const std::string out = rebuilt->bytes();
    EXPECT_NE(out.back(), '\n') << "the rebuilt message ends after the closing delimiter";
    return test::splitRows(replaceAll(replaceAll(out, b1, "B1"), b2, "B2"));
  }

  std::optional<std::string> rebuilt(const std::string& text) {
    QVManipulator m(text);
    QVSeededBoundaries source;
    return m.manipulateParts(source);
  }

  std::size_t attachments = 0;
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
  EXPECT_EQ(attachments, 1u);
}

TEST_F(QVRestructuring, GMimeReadsTheRebuiltTree) {
  auto out = rebuilt(test::joinRows(kIncoming));
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
  std::size_t attachments;
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
  EXPECT_EQ(attachments, GetParam().attachments);
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
                    "Content-Type: text/html", "", "h", "--B2--", "--T--"},
                   0},
        LayoutCase{"NoHtml",
                   parts({plain}),
                   {"--T", "Content-Type: multipart/alternative; boundary=\"B2\"", "", "--B2",
                    "Content-Type: text/plain", "", "p", "--B2--", "--T--"},
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
            parts({html,
                   {"--T", "Content-Disposition: inline; size=3", "\tfilename=a.png",
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
             "Content-Type: text/html",
             "",
             "h",
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
                   parts({plain,
                          {"--T", "Content-Type: application/zip", "\tfilename=z.zip",
                           "Content-Id: <z>", "", "ZIP"}}),
                   {"--T", "Content-Type: multipart/alternative; boundary=\"B2\"", "", "--B2",
                    "Content-Type: text/plain", "", "p", "--B2--", "--T",
                    "Content-Type: application/zip", "\tfilename=z.zip", "", "ZIP", "--T--"},
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
    const std::string text = row.typeRow + "\n\n--" + b + "\nContent-Type: text/plain\n\nx\n--" +
                             b +
                             "\nContent-Type: image/png\nContent-Disposition: inline;\n"
                             "\tfilename=a.png\n\nP\n--" +
                             b + "--";
    auto rows = rebuiltRows(text);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], row.expected);
  }
}

TEST_F(QVRestructuring, CrLfMessagesStayCrLf) {
  std::vector<std::string> rows = kIncoming;
  for (auto& r : rows) r += "\r";
  rows.emplace_back("");
  auto out = rebuilt(test::joinRows(rows));
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
      "Content-Type: application/pdf\nContent-Disposition: inline;\n\tfilename=x.pdf\n\nDATA";
  auto rows = rebuiltRows(text);
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[rows.size() - 2], "DATA");
  EXPECT_EQ(rows.back(), "--T--");
}

// A source that gives its list in turn, then the last one again and again.
class ListedBoundaries final : public QVBoundarySource {
 public:
  explicit ListedBoundaries(std::vector<std::string> list) : list_(std::move(list)) {}
  std::string createBoundary() override { return list_[std::min(next_++, list_.size() - 1)]; }

 private:
  std::vector<std::string> list_;
  std::size_t next_ = 0;
};

TEST_F(QVRestructuring, FreshBoundariesThatClashAreDrawnAgain) {
  const std::string text =
      "Content-Type: multipart/alternative; boundary=\"T\"\n\n--T\n"
      "Content-Type: text/plain\n\n--inbody\n--T--";
  struct Row {
    std::vector<std::string> drawn;
    const char* related;  // nullptr: no result
    const char* alternative;
  };
  const Row table[] = {
      {{"inbody", "R", "A"}, "R", "A"},  // opens a row of the message
      {{"Tx", "R", "A"}, "R", "A"},      // starts with the top boundary
      {{"R", "R", "A"}, "R", "A"},       // the same as the other fresh one
      {{"", "R", "A"}, "R", "A"},        // empty
      {{"inbody"}, nullptr, nullptr},    // never anything else: the message stays as it is
  };
  for (const Row& row : table) {
    QVManipulator m(text);
    ListedBoundaries source(row.drawn);
    std::optional<QVRebuiltMessage> out = m.rebuild(source);
    if (row.related == nullptr) {
      EXPECT_FALSE(out) << row.drawn[0];
      EXPECT_EQ(m.failure(), QVRebuildFailure::kNoFreshBoundary);
      continue;
    }
    ASSERT_TRUE(out) << row.drawn[0];
    EXPECT_EQ(out->relatedBoundary(), row.related);
    EXPECT_EQ(out->alternativeBoundary(), row.alternative);
    EXPECT_EQ(test::parseMime(out->bytes()).tree, "mixed[alternative[plain]]");
  }
}

TEST_F(QVRestructuring, RebuildIsAFunctionOfItsInputs) {
  const std::string text = test::joinRows(kIncoming);
  QVManipulator m(text);
  QVSeededBoundaries first(5), second(5);
  auto a = m.rebuild(first);
  auto b = m.rebuild(second);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->bytes(), b->bytes());
}

TEST_F(QVRestructuring, PiecesJoinToTheBytes) {
  const std::string text = test::joinRows(kIncoming);
  QVManipulator m(text);
  QVSeededBoundaries source;
  auto rebuilt = m.rebuild(source);
  ASSERT_TRUE(rebuilt);
  std::string joined;
  for (std::string_view piece : rebuilt->pieces()) joined += piece;
  EXPECT_EQ(joined, rebuilt->bytes());
  EXPECT_EQ(joined.size(), rebuilt->size());
  EXPECT_EQ(rebuilt->attachmentCount(), 1u);
}

}  // namespace
}  // namespace qv
