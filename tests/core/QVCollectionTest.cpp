// The part collection: header scan, body walk, sorting of the parts.

#include <gtest/gtest.h>

#include "core/QVManipulator.h"
#include "core/QVSignaturePicture.h"
#include "host/QVSettingKeys.h"
#include "host/QVSignatureName.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

// One record in one line: "span type [role] field=value ...".
std::string recordLine(const QVManipulator& m, std::size_t i) {
  const QVContentPart& p = m.bagAll()[i];
  std::string line = std::to_string(p.startRow) + "-" + std::to_string(p.endRow) + " " +
                     std::string(p.contentType.value_or("-")) + " [" +
                     std::string(describe(m.roleOf(i))) + "]";
  if (i == 0 && p.contentType) line += " ct@" + std::to_string(p.contentTypeRow);
  if (p.boundary) line += " b=" + std::string(*p.boundary);
  if (p.contentDisposition) {
    line += " disp=" + std::string(*p.contentDisposition) + "@" +
            std::to_string(p.contentDispositionRow);
  }
  if (p.filename) line += " file=" + std::string(*p.filename);
  if (p.cid) line += " cid=" + std::string(*p.cid) + "@" + std::to_string(p.cidRow);
  return line;
}

// The records, then what the collection tolerated: "! defect@row".
std::vector<std::string> records(const QVManipulator& m) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < m.bagAll().size(); ++i) out.push_back(recordLine(m, i));
  for (const QVDefectAt& d : m.defects()) {
    out.push_back("! " + std::string(describe(d.defect)) + "@" + std::to_string(d.row));
  }
  return out;
}

class QVCollection : public test::QVContextTest {
 protected:
  void SetUp() override {
    QVContextTest::SetUp();
    defaults.setValue("email-signature", keys::kSignatureFilename);
  }
};

const std::vector<std::string> kWorkedExample = {
    "Subject: Report",                       // 0
    "Content-Type: multipart/alternative;",  // 1
    "\tboundary=\"TOP\"",                    // 2
    "",                                      // 3
    "--TOP",                                 // 4
    "Content-Type: text/plain",              // 5
    "",                                      // 6
    "Hello.",                                // 7
    "--TOP",                                 // 8
    "Content-Type: multipart/related;",      // 9
    "\tboundary=\"REL\"",                    // 10
    "",                                      // 11
    "--REL",                                 // 12
    "Content-Type: text/html",               // 13
    "",                                      // 14
    "<p>Hello.</p>",                         // 15
    "--REL",                                 // 16
    "Content-Disposition: inline;",          // 17
    "\tfilename=email-signature.png",        // 18
    "Content-Type: image/png",               // 19
    "Content-Id: <sig1>",                    // 20
    "",                                      // 21
    "iVBORw0KGgo=",                          // 22
    "--REL",                                 // 23
    "Content-Disposition: inline;",          // 24
    "\tfilename=report.pdf",                 // 25
    "Content-Type: application/pdf",         // 26
    "Content-Id: <pdf1>",                    // 27
    "",                                      // 28
    "JVBERi0xLjQ=",                          // 29
    "--REL--",                               // 30
    "",                                      // 31
    "--TOP--",                               // 32
};

TEST_F(QVCollection, WorkedExampleRecordForRecord) {
  const std::string text = test::joinRows(kWorkedExample);
  QVManipulator m(text);
  EXPECT_EQ(records(m),
            (std::vector<std::string>{
                "0-3 multipart/alternative [header] ct@1 b=TOP",
                "5-7 text/plain [plain text]",
                "9-11 multipart/related [container] b=REL",
                "13-15 text/html [HTML]",
                "17-22 image/png [inline] disp=inline@17 file=email-signature.png cid=sig1@20",
                "24-29 application/pdf [attachment] disp=inline@24 file=report.pdf cid=pdf1@27",
            }));
  EXPECT_EQ(m.bagInline(), (std::vector<std::size_t>{4}));
  EXPECT_EQ(m.bagAttach(), (std::vector<std::size_t>{5}));
  ASSERT_NE(m.partTextPlain(), nullptr);
  EXPECT_EQ(m.partTextPlain()->startRow, 5u);
  ASSERT_NE(m.partTextHtml(), nullptr);
  EXPECT_EQ(m.partTextHtml()->startRow, 13u);
}

TEST_F(QVCollection, BodyWalkReturnsOnePastItsClosingRow) {
  // Rows 10 to 18 of a message whose header has boundary b1.
  std::vector<std::string> rows(10, "X-Pad: x");
  rows[0] = "Content-Type: multipart/alternative; boundary=\"b1\"";
  rows[1] = "";
  for (const char* r : {"--b1", "Content-Type: text/plain; charset=us-ascii", "", "hello", "--b1",
                        "Content-Type: text/html", "", "hi", "--b1--"}) {
    rows.emplace_back(r);
  }
  const std::string text = test::joinRows(rows);
  QVManipulator m(text);
  EXPECT_EQ(m.collectPartsBody(std::string_view("b1"), 11), 19);
  EXPECT_EQ(records(m), (std::vector<std::string>{"0-0 - [header]", "11-13 text/plain [plain text]",
                                                  "15-17 text/html [HTML]"}));
  EXPECT_TRUE(m.bagInline().empty());
  EXPECT_TRUE(m.bagAttach().empty());
}

// Each row: a message (rows), and its records as recordLine() writes them.
struct CollectionCase {
  const char* name;
  std::vector<std::string> rows;
  std::vector<std::string> expected;
};

void PrintTo(const CollectionCase& c, std::ostream* os) {
  *os << c.name;
}

class QVCollectionCases : public QVCollection,
                          public ::testing::WithParamInterface<CollectionCase> {};

TEST_P(QVCollectionCases, Records) {
  const std::string text = test::joinRows(GetParam().rows);
  QVManipulator m(text);
  EXPECT_EQ(records(m), GetParam().expected);
}

const std::vector<std::string> kHead = {"Content-Type: multipart/mixed;", "\tboundary=\"b\"", ""};

std::vector<std::string> message(std::vector<std::string> body) {
  std::vector<std::string> rows = kHead;
  rows.insert(rows.end(), body.begin(), body.end());
  return rows;
}

INSTANTIATE_TEST_SUITE_P(
    WellFormed, QVCollectionCases,
    ::testing::Values(
        CollectionCase{"BoundaryOnTheTypeRow",
                       {"Content-Type: multipart/mixed; boundary=\"b2\"", "", "--b2",
                        "Content-Type: text/plain", "", "x", "--b2--"},
                       {"0-1 multipart/mixed [header] ct@0 b=b2", "3-5 text/plain [plain text]"}},
        CollectionCase{"SinglePartMessage",
                       {"Content-Type: text/plain", "", "just text"},
                       {"0-0 text/plain [header] ct@0"}},
        CollectionCase{"DispositionFilenameAndType",
                       message({"--b", "Content-Disposition: inline;", "\tfilename=logo.png",
                                "Content-Type: image/png;", "", "AAAA", "--b--"}),
                       {"0-2 multipart/mixed [header] ct@0 b=b",
                        "4-8 image/png [attachment] disp=inline@4 file=logo.png"}},
        CollectionCase{
            "SignatureNameIsACaseSensitiveSubstring",
            message({"--b", "Content-Disposition: inline;", "\tfilename=email-signature-1.png",
                     "Content-Type: image/png", "", "A", "--b", "Content-Disposition: inline;",
                     "\tfilename=Email-Signature.png", "Content-Type: image/png", "", "B",
                     "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b",
             "4-8 image/png [inline] disp=inline@4 file=email-signature-1.png",
             "10-14 image/png [attachment] disp=inline@10 file=Email-Signature.png"}},
        CollectionCase{
            "FilenameForms",
            message({"--b", "Content-Type: application/pdf", "\tfilename=\"my file.pdf\"", "", "A",
                     "--b", "Content-Type: application/pdf", "\tfilename=a=b.pdf", "", "B", "--b",
                     "Content-Type: application/pdf", " filename=blank.pdf", "", "C", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b",
             "4-7 application/pdf [attachment] file=my file.pdf",
             "9-12 application/pdf [attachment] file=a=b.pdf",
             "14-17 application/pdf [attachment]"}},
        CollectionCase{
            "ContentIdInAnyLetterCase",
            message({"--b", "Content-Type: image/gif", "\tfilename=a.gif",
                     "Content-Id: <part1.abc>", "", "A", "--b", "Content-Type: image/gif",
                     "\tfilename=b.gif", "Content-ID: <x>", "", "B", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b",
             "4-8 image/gif [attachment] file=a.gif cid=part1.abc@6",
             "10-14 image/gif [attachment] file=b.gif cid=x@12"}},
        CollectionCase{"TextWithDispositionIsAnAttachment",
                       message({"--b", "Content-Type: text/plain", "", "body", "--b",
                                "Content-Disposition: attachment;", "\tfilename=notes.txt",
                                "Content-Type: text/plain", "", "file", "--b--"}),
                       {"0-2 multipart/mixed [header] ct@0 b=b", "4-6 text/plain [plain text]",
                        "8-12 text/plain [attachment] disp=attachment@8 file=notes.txt"}},
        CollectionCase{
            "FieldsInTheBodyAreIgnored",
            message({"--b", "Content-Type: application/octet-stream", "", "data",
                     "Content-Disposition: inline;", "Content-Id: <late>", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-8 application/octet-stream [attachment]"}},
        CollectionCase{
            "NestedContainerBeforeItsChildren",
            message({"--b", "Content-Type: multipart/related; boundary=\"r1\"", "", "--r1",
                     "Content-Type: text/html", "", "<p>", "--r1", "Content-Type: image/png",
                     "\tfilename=email-signature.png", "", "A", "--r1--", "", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-5 multipart/related [container] b=r1",
             "7-9 text/html [HTML]", "11-14 image/png [inline] file=email-signature.png"}}),
    [](const auto& row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(
    BrokenInTheWild, QVCollectionCases,
    ::testing::Values(
        // A part after a nested section is collected (the enclosing level resumes right
        // after the nested closing row), and a delimiter right after it opens a part.
        CollectionCase{
            "PartAfterNestedSection",
            message({"--b", "Content-Type: multipart/alternative; boundary=\"a\"", "", "--a",
                     "Content-Type: text/plain", "", "t", "--a", "Content-Type: text/html", "", "h",
                     "--a--", "--b", "Content-Disposition: attachment;", "\tfilename=r.pdf",
                     "Content-Type: application/pdf", "", "P", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-5 multipart/alternative [container] b=a",
             "7-9 text/plain [plain text]", "11-13 text/html [HTML]",
             "16-20 application/pdf [attachment] disp=attachment@16 file=r.pdf"}},
        // Truncated: no closing row; the open leaf ends with the last row.
        CollectionCase{"TruncatedLevelKeepsItsLastPart",
                       message({"--b", "Content-Type: text/plain", "", "t", "--b",
                                "Content-Type: application/pdf", "\tfilename=x.pdf", "", "P"}),
                       {"0-2 multipart/mixed [header] ct@0 b=b", "4-6 text/plain [plain text]",
                        "8-11 application/pdf [attachment] file=x.pdf", "! truncated level@11"}},
        // A picture without a file name stays inline (the hook keeps its image tag).
        CollectionCase{
            "UnnamedPictureStaysInline",
            message({"--b", "Content-Type: image/png", "Content-Id: <u1>", "", "A", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-7 image/png [inline] cid=u1@5"}},
        // Displaced text parts are kept as attachments, in document order.
        // HTML in pieces between files in one level: all of them make up the body.
        CollectionCase{"HtmlInPiecesAroundAFile",
                       message({"--b", "Content-Type: text/html", "", "h1", "--b",
                                "Content-Type: application/pdf", "\tfilename=a.pdf", "", "P", "--b",
                                "Content-Type: text/html", "", "h2", "--b",
                                "Content-Type: text/html", "", "h3", "--b--"}),
                       {"0-2 multipart/mixed [header] ct@0 b=b", "4-6 text/html [HTML]",
                        "8-11 application/pdf [attachment] file=a.pdf", "13-15 text/html [HTML]",
                        "17-19 text/html [HTML]"}},
        // Unquoted boundaries are MIME tokens: up to ";", a blank or the row's end.
        CollectionCase{
            "UnquotedBoundaries",
            {"Content-Type: multipart/mixed; boundary=Apple-Mail-3-1;", "", "--Apple-Mail-3-1",
             "Content-Type: multipart/related;", "\tboundary=inner x", "", "--inner",
             "Content-Type: text/html", "", "h", "--inner--", "--Apple-Mail-3-1--"},
            {"0-1 multipart/mixed [header] ct@0 b=Apple-Mail-3-1",
             "3-5 multipart/related [container] b=inner", "7-9 text/html [HTML]"}},
        // An empty boundary would make every "--" row a delimiter: none, and the part is a leaf.
        CollectionCase{
            "EmptyBoundaryIsNone",
            message({"--b", "Content-Type: multipart/related; boundary=\"\"", "", "--x", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-6 multipart/related [attachment]",
             "! boundary that cannot be read@4"}},
        // "Content-Id: " without "<" is the identifier whole; a blank one is none.
        CollectionCase{"ContentIdWithoutAngleBrackets",
                       message({"--b", "Content-Type: application/zip", "\tfilename=z.zip",
                                "Content-Id: bare ", "", "Z", "--b", "Content-Type: image/png",
                                "\tfilename=p.png", "Content-Id:  ", "", "P", "--b--"}),
                       {"0-2 multipart/mixed [header] ct@0 b=b",
                        "4-8 application/zip [attachment] file=z.zip cid=bare@6",
                        "10-14 image/png [attachment] file=p.png"}},
        // The header's type and boundary come from the header block only.
        CollectionCase{"TypeOnlyFromTheHeaderBlock",
                       {"Subject: no type", "", "Content-Type: multipart/mixed; boundary=\"b\"",
                        "--b", "Content-Type: text/plain", "", "x", "--b--"},
                       {"0-0 - [header]"}},
        // A part without a Content-Type row ends at the next delimiter like any other.
        CollectionCase{
            "UntypedPartIsKept",
            message({"--b", "X-Nothing: here", "", "a", "--b", "Content-Type: application/pdf", "",
                     "P", "--b", "", "last", "--b--"}),
            // (A part with no header at all is text/plain, as MIME reads it.)
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-6 - [attachment]",
             "8-10 application/pdf [attachment]", "12-13 - [plain text]",
             "! part without a Content-Type@4", "! part without a Content-Type@12"}},
        // A multipart part whose delimiter rows never come, or whose header has no
        // boundary, is kept whole as a leaf instead of swallowing the parts after it.
        CollectionCase{
            "BrokenMultipartPartsAreKeptWhole",
            message({"--b", "Content-Type: multipart/mixed; boundary=\"never\"", "", "x", "--b",
                     "Content-Type: multipart/mixed", "", "boundary=\"late\"", "--late", "--b",
                     "Content-Type: application/pdf", "", "P", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-6 multipart/mixed [attachment] b=never",
             "8-11 multipart/mixed [attachment]", "13-15 application/pdf [attachment]",
             "! boundary that cannot be read@8"}},
        // The last part of a truncated level is kept even without a type.
        CollectionCase{
            "TruncatedUntypedPartIsKept",
            message({"--b", "Content-Type: text/plain", "", "hi", "--b", "", "untyped body", ""}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-6 text/plain [plain text]",
             "8-10 - [plain text]", "! part without a Content-Type@8", "! truncated level@10"}},
        // A picture named in another form, or sent as an attachment, is no unnamed picture.
        CollectionCase{"PicturesNamedElsewhereStayAttachments",
                       message({"--b", "Content-Type: image/jpeg; name=\"photo.jpg\"",
                                "Content-Disposition: inline; filename=\"photo.jpg\"", "", "J",
                                "--b", "Content-Type: image/gif", "Content-Disposition: attachment",
                                "", "G", "--b--"}),
                       {"0-2 multipart/mixed [header] ct@0 b=b",
                        "4-7 image/jpeg [attachment] disp=inline@5 file=photo.jpg",
                        "9-12 image/gif [attachment] disp=attachment@10"}},
        // A nested section left unclosed ends at the enclosing level's next delimiter row
        // instead of swallowing it and the parts after it.
        CollectionCase{
            "UnclosedNestedSectionEndsAtTheOuterDelimiter",
            message({"--b", "Content-Type: application/pdf", "\tfilename=a.pdf", "", "PDF", "--b",
                     "Content-Type: multipart/related; boundary=\"r\"", "", "--r",
                     "Content-Type: text/html", "", "hi", "--b", "Content-Type: application/zip",
                     "\tfilename=z.zip", "", "Z", "--b--"}),
            {"0-2 multipart/mixed [header] ct@0 b=b", "4-7 application/pdf [attachment] file=a.pdf",
             "9-10 multipart/related [container] b=r", "12-14 text/html [HTML]",
             "16-19 application/zip [attachment] file=z.zip", "! unclosed section@15"}},
        // Boundaries that are prefixes of each other: a row belongs to the longest one.
        CollectionCase{
            "BoundaryPrefixOfAnother",
            {"Content-Type: multipart/mixed; boundary=\"ab\"", "", "--ab",
             "Content-Type: multipart/related; boundary=\"abc\"", "", "--abc",
             "Content-Type: text/html", "", "h", "--abc", "Content-Type: image/png",
             "\tfilename=p.png", "", "P", "--ab", "Content-Type: text/plain", "", "t", "--ab--"},
            {"0-1 multipart/mixed [header] ct@0 b=ab", "3-4 multipart/related [container] b=abc",
             "6-8 text/html [HTML]", "10-13 image/png [attachment] file=p.png",
             "15-17 text/plain [plain text]", "! unclosed section@14"}},
        // CR LF rows: "\r" alone ends a header block; values carry no CR.
        CollectionCase{
            "CarriageReturns",
            {"Content-Type: multipart/mixed;\r", "\tboundary=\"b\"\r", "\r", "--b\r",
             "Content-Disposition: inline;\r", "\tfilename=p.jpg\r", "Content-Type: image/jpeg\r",
             "Content-Id: <c>\r", "\r", "Content-Id: <late>\r", "--b--\r", ""},
            {"0-2 multipart/mixed [header] ct@0 b=b",
             "4-9 image/jpeg [attachment] disp=inline@4 file=p.jpg cid=c@7"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(QVCollection, SignatureSettingAbsentWrongTypeOrEmpty) {
  const std::string text = test::joinRows(message(
      {"--b", "Content-Type: image/png", "\tfilename=email-signature.png", "", "A", "--b--"}));
  struct Row {
    const char* what;
    std::optional<QVDefaultsValue> setting;
    QVPartRole role;
  };
  const Row table[] = {
      {"absent reads as the default name", std::nullopt, QVPartRole::kInline},
      {"a number reads as the default name", QVDefaultsValue{std::int64_t{3}}, QVPartRole::kInline},
      {"an empty name matches nothing", QVDefaultsValue{std::string()}, QVPartRole::kAttachment},
      {"another name", QVDefaultsValue{std::string("logo")}, QVPartRole::kAttachment},
  };
  for (const Row& row : table) {
    defaults.remove(keys::kSignatureFilename);
    if (row.setting) defaults.setObject(keys::kSignatureFilename, *row.setting);
    QVManipulator m(text, signatureName(&defaults));
    ASSERT_EQ(m.bagAll().size(), 2u) << row.what;
    EXPECT_EQ(m.roleOf(1), row.role) << row.what;
  }
}

// The signature-picture rule the hook, the roles and the display answers share, and what
// else keeps a picture inline when the message is rebuilt.
TEST(QVSignaturePicture, OneRuleForEverySide) {
  struct Row {
    std::optional<std::string_view> fileName;
    std::string_view signatureName;
    bool unnamedIsSignature;
    bool expected;
    std::optional<std::size_t> keepBelow = std::nullopt;  // with a picture of 500 bytes
    bool sentAsAttachment = false;
  };
  const Row table[] = {
      {"email-signature.png", "email-signature", false, true},
      {"my-email-signature-2.jpg", "email-signature", false, true},  // anywhere in the name
      {"Email-Signature.png", "email-signature", true, false},       // letter case counts
      {"photo.jpg", "email-signature", true, false},
      {"email-signature.png", "", true, false},  // an empty signature name marks none
      {"", "email-signature", true, false},      // an empty name is a name here
      {std::nullopt, "email-signature", true, true},
      {std::nullopt, "email-signature", false, false},
      {std::nullopt, "", true, true},
      // Small pictures, when asked: fewer bytes than the size, not sent as attachments.
      {"image001.png", "email-signature", true, true, 501},
      {"image001.png", "email-signature", true, false, 500},
      {"image001.png", "email-signature", true, false, 501, true},
      {"email-signature.png", "email-signature", true, true, 10, true},
  };
  for (const Row& row : table) {
    EXPECT_EQ(staysInline(row.fileName, row.signatureName, row.unnamedIsSignature,
                          row.sentAsAttachment, 500, row.keepBelow),
              row.expected)
        << row.fileName.value_or("(none)") << " / " << row.signatureName;
    if (!row.keepBelow) {
      EXPECT_EQ(isSignaturePicture(row.fileName, row.signatureName, row.unnamedIsSignature),
                row.expected);
    }
  }
}

TEST_F(QVCollection, NestingIsBounded) {
  // 100,000 levels: the walk stops descending at the limit instead of overflowing the stack.
  std::string text = "Content-Type: multipart/mixed; boundary=\"b0\"\n\n--b0\n";
  for (int level = 1; level < 100000; ++level) {
    text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(level) + "\"\n\n--b" +
            std::to_string(level) + "\n";
  }
  text += "Content-Type: text/plain\n\nx\n";
  QVManipulator m(text);
  EXPECT_EQ(m.failure(), QVRebuildFailure::kNestingTooDeep);
  QVSeededBoundaries source;
  EXPECT_FALSE(m.rebuild(source));

  std::string shallow = "Content-Type: multipart/mixed; boundary=\"b0\"\n\n--b0\n";
  for (std::uint32_t level = 1; level < QVManipulator::kMaxNesting; ++level) {
    shallow += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(level) + "\"\n\n--b" +
               std::to_string(level) + "\n";
  }
  shallow += "Content-Type: text/plain\n\nx\n";
  QVManipulator ok(shallow);
  EXPECT_NE(ok.failure(), QVRebuildFailure::kNestingTooDeep);
}

TEST_F(QVCollection, MessagesWithoutAResultSayWhy) {
  struct Row {
    const char* what;
    std::string text;
    QVRebuildFailure failure;
  };
  const Row table[] = {
      {"no header type", "Subject: x\n\n--b\n", QVRebuildFailure::kNoContentType},
      // The field is read in any letter case: the message fails further on.
      {"no text body", "Content-type: multipart/mixed; boundary=\"b\"\n\n--b\n--b--",
       QVRebuildFailure::kNoTextBody},
      {"already rebuilt",
       "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nx\n"
       "--b\nContent-Type: application/pdf; name=a.pdf\nContent-Disposition: attachment\n\nP\n"
       "--b--",
       QVRebuildFailure::kNothingToMove},
      {"empty type", "Content-Type: ; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nx\n--b--",
       QVRebuildFailure::kEmptyContentType},
      {"single part", "Content-Type: text/plain\n\nhello", QVRebuildFailure::kNotMultipart},
      {"malformed type", "Content-Type: multipart/mixed(x); boundary=x\n\n--x\n--x--",
       QVRebuildFailure::kMalformedContentType},
      // A parameter after a blank without ";" is one, on one row as across a fold.
      {"parameter after a blank", "Content-Type: multipart/mixed boundary=x\n\n--x\n--x--",
       QVRebuildFailure::kNoTextBody},
      {"parameter after a blank, after another",
       "Content-Type: multipart/mixed; charset=x boundary=x\n\n--x\n--x--",
       QVRebuildFailure::kNoTextBody},
      {"type without a subtype", "Content-Type: Content; boundary=x\n\n--x\n--x--",
       QVRebuildFailure::kMalformedContentType},
      {"two type fields",
       "Content-Type: multipart/mixed; boundary=\"b\"\ncontent-type: text/plain\n\n--b\n--b--",
       QVRebuildFailure::kSeveralContentTypes},
      {"multipart without boundary", "Content-Type: multipart/mixed\n\n--b\n",
       QVRebuildFailure::kNoBoundary},
      {"no delimiter row", "Content-Type: multipart/mixed; boundary=\"b\"\n\nbody only",
       QVRebuildFailure::kNoDelimiterRow},
      {"signed",
       "Content-Type: multipart/signed; boundary=\"b\"\n\n--b\nContent-Type: "
       "text/plain\n\nx\n--b--",
       QVRebuildFailure::kSignedOrEncrypted},
      {"encrypted inside",
       "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: "
       "application/pkcs7-mime; "
       "smime-type=enveloped-data\n\nMII\n--b--",
       QVRebuildFailure::kSignedOrEncrypted},
  };
  for (const Row& row : table) {
    QVManipulator m(row.text);
    EXPECT_EQ(m.failure(), row.failure) << row.what;
    QVSeededBoundaries source;
    EXPECT_FALSE(m.rebuild(source)) << row.what;
  }
}

}  // namespace
}  // namespace qv
