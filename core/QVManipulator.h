#pragma once
// QVManipulator: one outgoing message, from its raw bytes to the rebuilt message.
//
// The rebuilt message has a `multipart/mixed` top level (keeping the message's own top
// boundary) whose first part is a `multipart/alternative` of the plain-text and the HTML
// part, wrapped with the signature pictures in a `multipart/related` when there are any;
// every other part follows as an attachment, its disposition row saying "attachment" and
// its Content-Id row left out.
//
//   QVManipulator m(rawBytes, signatureName);  // bytes must outlive m
//   if (auto out = m.rebuild(boundaries)) send(out->bytes());
//   else keepAsItIs(describe(*m.failure()));
//
// The manipulator works on rows, the lines of the message without their line feed. Rows
// and collected values are views into the caller's bytes: nothing is copied but a value
// that had to be unfolded. Rows taken from the message are written back exactly as they
// came, but for the header's Content-Type row, the disposition rows of moved parts and the
// Content-Id field of attachments. The rows it writes itself end like the message's rows
// (LF or CR LF).
//
// It is a pure function of its inputs: the bytes, the signature file name and a source of
// boundaries. It reads no settings, counts nothing and logs nothing; its callers do that
// with what the result tells (the boundaries drawn, the attachments written). Header
// fields are read as RFC 5322 reads them: names in any letter case, values with their
// continuation rows. What it tolerated in a malformed message it lists in defects().

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QVContentPart.h"
#include "core/QVRowIndex.h"

namespace qv {

// Why a message has no rebuilt form; it is then sent as the host generated it.
enum class QVRebuildFailure : std::uint8_t {
  kTooLarge,              // 4 GiB or more, or more than 2^31 rows
  kNotUtf8,               // the bytes are not UTF-8 text
  kNoContentType,         // the header block has no "Content-Type: " row
  kEmptyContentType,      // the header's Content-Type value is empty
  kMalformedContentType,  // the header's Content-Type value is no "type/subtype"
  kSeveralContentTypes,   // the header has more than one Content-Type field: readers differ
  kNotMultipart,          // the header's type is not multipart and has no boundary
  kNoBoundary,            // a multipart header without a usable boundary parameter
  kNoDelimiterRow,        // no row opens the top boundary's first part
  kNestingTooDeep,        // more nested multipart levels than kMaxNesting
  kClosingRowWithText,    // a closing delimiter row with text after it: readers differ on it
  kSignedOrEncrypted,     // rebuilding would break a signature or an encryption envelope
  kNoTextBody,            // neither a plain-text nor an HTML body: nothing to put first
  kNothingToMove,         // every part that would become an attachment already is one
  kNoFreshBoundary,       // the boundary source gave none that the message does not use
};

// A short lower-case reason, e.g. "not multipart".
[[nodiscard]] std::string_view describe(QVRebuildFailure failure);

// What the restructuring does with a record of bagAll().
enum class QVPartRole : std::uint8_t {
  kHeader,      // the top-level header
  kContainer,   // a nested multipart part: only its children are written
  kTextPlain,   // the plain-text alternative
  kTextHtml,    // the HTML alternative
  kInline,      // a signature or unnamed picture kept beside the text
  kAttachment,  // written as an attachment
};

[[nodiscard]] std::string_view describe(QVPartRole role);

// What the collection tolerated in a malformed message, each at the row where it stands.
enum class QVDefect : std::uint8_t {
  kNoContentType,       // a part whose header has no Content-Type field: kept as a file
  kUnreadableBoundary,  // a multipart part whose boundary cannot be read whole: one part
  kUnclosedSection,     // a nested section ended by a delimiter row of an enclosing level
  kTruncatedLevel,      // a level that ends with the message, without its closing row
  kFoldedValue,         // a parameter value folded across rows: read with the rows joined
  kFieldNameCase,       // a field name in another letter case than MIME writes it
  kDisplacedBody,       // a text body of a kind already found elsewhere: kept as a file
  kClosingRowWithText,  // "--BOUNDARY--" with more than blanks after it on its row
};

[[nodiscard]] std::string_view describe(QVDefect defect);

// Rows first..last of the message, both included.
struct QVRowRange {
  std::uint32_t first;
  std::uint32_t last;
  bool operator==(const QVRowRange&) const = default;
};

struct QVDefectAt {
  QVDefect defect;
  std::uint32_t row;
  bool operator==(const QVDefectAt&) const = default;
};

// The text bodies: of each kind, the pieces that make it up, in document order (indexes
// into bagAll()). Several pieces are the text of one body cut by files placed inside it
// (they stand in one level between the files); a caller that can decode them joins them
// into one body (QVBodyReplacements). Left apart, the last piece is the body and the others
// are kept as files.
struct QVBodies {
  std::vector<std::size_t> plain;
  std::vector<std::size_t> html;
};

// Where fresh boundaries come from: the host's random source, or a fixed list in tests.
class QVBoundarySource {
 public:
  virtual ~QVBoundarySource() = default;
  // A candidate boundary; the manipulator asks again when it clashes with the message.
  [[nodiscard]] virtual std::string createBoundary() = 0;
};

// 28 characters of [0-9a-zA-Z] from the numbers `next` gives (any non-negative ints).
template <typename Next>
[[nodiscard]] std::string boundaryFrom(Next next) {
  constexpr std::string_view kAlphabet =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string boundary(28, '0');
  for (char& c : boundary) c = kAlphabet[static_cast<std::size_t>(next()) % kAlphabet.size()];
  return boundary;
}

// Boundaries from a fixed seed, the same on every run: for tests, benchmarks and tools that
// must give the same output twice. (The plug-in draws its own from the host's random source.)
class QVSeededBoundaries final : public QVBoundarySource {
 public:
  explicit QVSeededBoundaries(std::uint32_t seed = 1) : state_(seed) {}
  [[nodiscard]] std::string createBoundary() override {
    return boundaryFrom([this] {
      state_ = state_ * 1103515245u + 12345u;  // the classic C library generator
      return (state_ >> 16) & 0x7fffu;
    });
  }

 private:
  std::uint32_t state_;
};

// A caller's text for a body, in place of all its pieces: the whole part (its header rows,
// the empty row, the body), rows separated by line feeds (a CR before each where the
// message has CR LF), no line end after the last row.
struct QVBodyReplacements {
  std::optional<std::string> plain;
  std::optional<std::string> html;
};

// The rebuilt message as a list of byte pieces: stretches of the original message and
// the few rows the restructuring made. Their concatenation is the rebuilt message.
class QVRebuiltMessage {
 public:
  // Total size in bytes.
  [[nodiscard]] std::size_t size() const { return size_; }
  // Parts written as attachments.
  [[nodiscard]] std::size_t attachmentCount() const { return attachments_; }
  // The two fresh boundaries: of the multipart/related level (drawn even when there is no
  // such level), and of the multipart/alternative level.
  [[nodiscard]] const std::string& relatedBoundary() const { return related_; }
  [[nodiscard]] const std::string& alternativeBoundary() const { return alternative_; }
  // The pieces in order, valid while this object and the original bytes live.
  [[nodiscard]] std::size_t pieceCount() const { return pieces_.size(); }
  [[nodiscard]] std::string_view piece(std::size_t i) const {
    const Piece& p = pieces_[i];
    return (p.made ? std::string_view(made_) : source_).substr(p.offset, p.length);
  }
  [[nodiscard]] std::vector<std::string_view> pieces() const;
  // The message joined into one buffer, sized in advance.
  [[nodiscard]] std::string bytes() const;

 private:
  friend class QVRowWriter;
  struct Piece {
    std::size_t offset;
    std::uint32_t length;  // messages are below 4 GiB
    bool made;             // in `made_`, else in the original message
  };
  std::string_view source_;
  std::string made_;
  std::vector<Piece> pieces_;
  std::size_t size_ = 0;
  std::size_t attachments_ = 0;
  std::string related_;
  std::string alternative_;
};

class QVManipulator {
 public:
  // Deeper than any mailer nests; bounds the recursion of the body walk.
  static constexpr std::uint32_t kMaxNesting = 64;
  // Row numbers are signed 32-bit in the walk's interface: fewer rows than 2^31.
  static constexpr std::uint64_t kMaxRows = std::uint64_t{1} << 31;
  // The signature file name when the caller has none to give.
  static constexpr std::string_view kDefaultSignatureName = "email-signature";

  // Splits `data` into rows. Data that is not UTF-8 (or too large) gives no rows. A picture
  // whose file name contains `signatureName` stays inline; an empty name matches none.
  explicit QVManipulator(std::string_view data,
                         std::string_view signatureName = kDefaultSignatureName);
  // With the rows of `data` found beforehand by a QVRowScanner fed exactly its bytes (say,
  // while they were read from a file): the manipulator then reads only the rows it needs.
  QVManipulator(std::string_view data, QVRowScan rows,
                std::string_view signatureName = kDefaultSignatureName);
  // The manipulator keeps views into the bytes: a temporary string would leave them dangling.
  explicit QVManipulator(std::string&& data, std::string_view signatureName = {}) = delete;
  explicit QVManipulator(const char* data, std::string_view signatureName = kDefaultSignatureName)
      : QVManipulator(std::string_view(data), signatureName) {}
  QVManipulator(const QVManipulator&) = delete;
  QVManipulator& operator=(const QVManipulator&) = delete;

  // Cuts a value out of a row: from just past the first occurrence of `prefix` (exact) up
  // to the first occurrence of `suffix` after it (letter case ignored) or to the end.
  // Nothing when `prefix` does not occur.
  //   isolateStr("Content-Type: text/html; charset=utf-8", ": ", ";") == "text/html"
  [[nodiscard]] static std::optional<std::string_view> isolateStr(std::string_view text,
                                                                  std::string_view prefix,
                                                                  std::string_view suffix);

  // The message text, or nothing when it was not UTF-8.
  [[nodiscard]] std::optional<std::string_view> dataStr() const;
  [[nodiscard]] std::uint32_t rowCount() const { return rowCount_; }
  // Row i (i < rowCount()), without its line feed; a CR before the line feed stays.
  [[nodiscard]] std::string_view row(std::uint32_t i) const;
  // True when the message's rows end in CR LF (its first delimiter row tells).
  [[nodiscard]] bool crlf();

  // Finds the header and every part, and sorts the parts. Runs once; later calls do nothing.
  void collectParts();
  // Walks one level of a multipart body with the given boundary from row `startPos` up to
  // its closing delimiter row or the last row; returns one past the row where it stopped
  // (startPos itself when there is nothing to walk).
  std::int32_t collectPartsBody(std::optional<std::string_view> boundary, std::int32_t startPos);

  // What the collection found. Indexes in the bags refer to bagAll().
  [[nodiscard]] const QVContentPart& header() const { return bagAll_.front(); }
  [[nodiscard]] const std::deque<QVContentPart>& bagAll() const { return bagAll_; }
  // The body of each kind (its last piece, when it is in pieces), or none.
  [[nodiscard]] const QVContentPart* partTextPlain() const;
  [[nodiscard]] const QVContentPart* partTextHtml() const;
  [[nodiscard]] const QVBodies& bodies() const { return bodies_; }
  [[nodiscard]] const std::vector<std::size_t>& bagInline() const { return bagInline_; }
  // The files, in document order; the pieces of a body in pieces are not among them.
  [[nodiscard]] const std::vector<std::size_t>& bagAttach() const { return bagAttach_; }
  [[nodiscard]] QVPartRole roleOf(std::size_t index) const;
  [[nodiscard]] const std::vector<QVDefectAt>& defects() const { return defects_; }
  // The epilogues that hold text (what stands after a level's closing delimiter row, up to
  // the next delimiter row of the level around it or the message's end), in document order.
  // The rebuilt message keeps them after its own closing row; epilogues of empty rows alone
  // hold nothing and are not listed.
  [[nodiscard]] const std::vector<QVRowRange>& epilogues() const { return epilogues_; }

  // A part's header rows up to and including the empty row that ends them, with their line
  // ends; and its body: the rows after it to the part's end, without the last line end (a
  // CR before it stays).
  [[nodiscard]] std::string_view partHeader(const QVContentPart& part) const;
  [[nodiscard]] std::string_view partBody(const QVContentPart& part) const;

  // Rebuilds the message: collects the parts if not done and draws the two boundaries. A
  // body given in `replacements` takes the place of all its pieces. Nothing when the
  // message cannot be rebuilt; failure() then says why. May be called again.
  [[nodiscard]] std::optional<QVRebuiltMessage> rebuild(
      QVBoundarySource& boundaries, const QVBodyReplacements& replacements = {});
  // rebuild(), joined into bytes.
  [[nodiscard]] std::optional<std::string> manipulateParts(QVBoundarySource& boundaries);
  // Why the message cannot be rebuilt, once the parts are collected; nothing when it can.
  [[nodiscard]] std::optional<QVRebuildFailure> failure();

 private:
  struct LevelState;
  struct FieldRows;
  std::uint32_t walkLevel(std::string_view boundary, std::uint32_t start, std::uint32_t depth,
                          std::string_view levelType);
  void readPartField(LevelState& s, std::uint32_t pos);
  void closeLeaf(const QVContentPart& part, bool namedAnyhow);
  void sortBodies();
  [[nodiscard]] bool nothingToMove() const;
  void noteContentType(std::string_view type);
  void noteDefect(QVDefect defect, std::uint32_t row);
  // Lists rows first..last as an epilogue when one of them holds text.
  void noteEpilogue(std::uint32_t first, std::uint32_t last);
  // A value unfolded (or unescaped) lives here; the records hold views of it.
  std::string_view keep(std::string value);
  [[nodiscard]] FieldRows fieldRows(std::uint32_t first, std::uint32_t headerEnd) const;
  [[nodiscard]] std::optional<std::string> freshBoundary(QVBoundarySource& source,
                                                         std::string_view avoid) const;
  // The first row at or after `from` that begins with "--"; rowCount() when none.
  [[nodiscard]] std::uint32_t nextDashRow(std::uint32_t from) const;
  void takeRows(bool utf8);

  std::string_view data_;
  std::string signature_;
  QVRowStarts rowStarts_;
  QVRowStarts dashRowIndex_;  // every row that begins with "--", in order
  std::uint32_t rowCount_ = 0;
  bool utf8_ = false;
  bool tooLarge_ = false;

  bool collected_ = false;
  bool topDelimiterFound_ = false;
  bool nestingTooDeep_ = false;
  bool signedOrEncrypted_ = false;
  bool severalHeaderTypes_ = false;
  bool closingRowWithText_ = false;
  std::optional<std::uint32_t> closedAt_;  // the closing row of the level the walk just left
  bool noFreshBoundary_ = false;           // the last rebuild found no boundary that did not clash
  std::uint32_t levels_ = 0;               // levels walked so far: each part's level number
  std::vector<std::uint32_t> dashRows_;    // rows beginning with "--" seen by the walk
  std::vector<std::string_view> enclosing_;   // boundaries of the levels around the walk
  std::vector<std::string_view> levelTypes_;  // the container type of each level, by number

  std::deque<QVContentPart> bagAll_;    // a deque: records never move as it grows
  std::deque<std::string> kept_;        // unfolded values the records refer to
  std::vector<std::size_t> textParts_;  // every text body candidate, in document order
  QVBodies bodies_;
  std::vector<std::size_t> bagInline_;
  std::vector<std::size_t> bagAttach_;
  std::vector<std::size_t> displacedBodies_;  // text bodies kept as files, sorted
  std::vector<QVDefectAt> defects_;
  std::vector<QVRowRange> epilogues_;
};

}  // namespace qv
