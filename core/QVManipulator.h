#pragma once
// QVManipulator: one outgoing message, from its raw bytes to the rebuilt message.
//
// The rebuilt message has a `multipart/mixed` top level (keeping the message's own top
// boundary) whose first part is a `multipart/alternative` of the plain-text and the HTML
// part, wrapped with the signature pictures in a `multipart/related` when there are any;
// every other part follows as an attachment, its disposition row saying "attachment" and
// its Content-Id row left out.
//
//   QVManipulator m(rawBytes);                 // bytes must outlive m
//   if (std::optional<std::string> out = m.manipulateParts()) send(*out);
//   else keepAsItIs(describe(*m.failure()));
//
// The manipulator works on rows, the lines of the message without their line feed. Rows
// and every collected value are views into the caller's bytes: nothing is copied. Rows
// taken from the message are written back exactly as they came, but for the header's
// Content-Type row, the disposition rows of moved parts and the Content-Id rows of
// attachments. The rows it writes itself end like the message's rows (LF or CR LF).
//
// A manipulator serves one message on one thread and is then dropped. It reads the
// signature file name from the settings store and counts the attachments it writes in
// `QVStowletCount` there; without a store it uses the default name and counts nothing.

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
#include "host/QVUserDefaults.h"

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
  kSignedOrEncrypted,     // rebuilding would break a signature or an encryption envelope
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

// The rebuilt message as a list of byte pieces: stretches of the original message and
// the few rows the restructuring made. Their concatenation is the rebuilt message.
class QVRebuiltMessage {
 public:
  // Total size in bytes.
  [[nodiscard]] std::size_t size() const { return size_; }
  // Parts written as attachments.
  [[nodiscard]] std::size_t attachmentCount() const { return attachments_; }
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
};

class QVManipulator {
 public:
  // Deeper than any mailer nests; bounds the recursion of the body walk.
  static constexpr std::uint32_t kMaxNesting = 64;
  // Row numbers are signed 32-bit in the walk's interface: fewer rows than 2^31.
  static constexpr std::uint64_t kMaxRows = std::uint64_t{1} << 31;

  // Splits `data` into rows. Data that is not UTF-8 (or too large) gives no rows.
  explicit QVManipulator(std::string_view data, QVUserDefaults* defaults = userDefaults);
  // With the rows of `data` found beforehand by a QVRowScanner fed exactly its bytes (say,
  // while they were read from a file): the manipulator then reads only the rows it needs.
  QVManipulator(std::string_view data, QVRowScan rows, QVUserDefaults* defaults = userDefaults);
  // The manipulator keeps views into the bytes: a temporary string would leave them dangling.
  explicit QVManipulator(std::string&& data, QVUserDefaults* defaults = userDefaults) = delete;
  explicit QVManipulator(const char* data, QVUserDefaults* defaults = userDefaults)
      : QVManipulator(std::string_view(data), defaults) {}
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

  // Finds the header and every part, and sorts the parts. Runs once; later calls do nothing.
  void collectParts();
  // Walks one level of a multipart body with the given boundary from row `startPos` up to
  // its closing delimiter row or the last row; returns one past the row where it stopped
  // (startPos itself when there is nothing to walk).
  std::int32_t collectPartsBody(std::optional<std::string_view> boundary, std::int32_t startPos);

  // What the collection found. Indexes in the bags refer to bagAll().
  [[nodiscard]] const QVContentPart& header() const { return bagAll_.front(); }
  [[nodiscard]] const std::deque<QVContentPart>& bagAll() const { return bagAll_; }
  [[nodiscard]] const QVContentPart* partTextPlain() const;
  [[nodiscard]] const QVContentPart* partTextHtml() const;
  [[nodiscard]] const std::vector<std::size_t>& bagInline() const { return bagInline_; }
  [[nodiscard]] const std::vector<std::size_t>& bagAttach() const { return bagAttach_; }
  [[nodiscard]] QVPartRole roleOf(std::size_t index) const;

  // Given the HTML part and its body (the rows after its header block, joined by line feeds,
  // each keeping its CR), a replacement body of the same form, or nothing to keep it.
  using HtmlBodyFilter =
      std::function<std::optional<std::string>(const QVContentPart& html, std::string_view body)>;

  // Rebuilds the message: collects the parts if not done, draws the two boundaries (and
  // logs them), counts each attachment written. Nothing when the message cannot be rebuilt;
  // failure() then says why. Call once. A filter may replace the HTML part's body.
  [[nodiscard]] std::optional<QVRebuiltMessage> rebuild(const HtmlBodyFilter& htmlFilter = {});
  // rebuild(), joined into bytes.
  [[nodiscard]] std::optional<std::string> manipulateParts();
  // Why the message cannot be rebuilt, once the parts are collected; nothing when it can.
  [[nodiscard]] std::optional<QVRebuildFailure> failure();

  // 28 characters drawn with the process's rand() from [0-9a-zA-Z].
  [[nodiscard]] static std::string createBoundary();
  // Adds one to QVStowletCount in the store (32-bit signed, wrapping).
  void increaseStowletCount();

 private:
  struct LevelState;
  std::uint32_t walkLevel(std::string_view boundary, std::uint32_t start, std::uint32_t depth);
  void closeLeaf(const QVContentPart& part, bool namedAnyhow, std::string_view signature);
  void noteContentType(std::string_view type);
  [[nodiscard]] std::string freshBoundary(std::string_view avoid) const;
  // The first row at or after `from` that begins with "--"; rowCount() when none.
  [[nodiscard]] std::uint32_t nextDashRow(std::uint32_t from) const;
  void takeRows(bool utf8);

  std::string_view data_;
  QVUserDefaults* defaults_;
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
  std::vector<std::uint32_t> dashRows_;      // rows beginning with "--" seen by the walk
  std::vector<std::string_view> enclosing_;  // boundaries of the levels around the walk

  std::deque<QVContentPart> bagAll_;  // a deque: records never move as it grows
  std::optional<std::size_t> plain_;
  std::optional<std::size_t> html_;
  std::vector<std::size_t> bagInline_;
  std::vector<std::size_t> bagAttach_;
};

}  // namespace qv
