#pragma once
// QVManipulator: one outgoing message, from its raw bytes to the rebuilt message, under the
// names the hook, the command and the tests use. It runs the stages once, when it is made:
//
//   scan (QVRows.h) -> parse (QVParse.h) -> roles (QVRoles.h) -> check (QVCheck.h)
//   -> rebuild (QVRebuild.h), on request, with a boundary source and the caller's bodies.
//
//   QVManipulator m(rawBytes, signatureName);  // bytes must outlive m
//   if (auto out = m.rebuild(boundaries)) send(out->bytes());
//   else keepAsItIs(describe(*m.failure()));
//
// Rows and collected values are views into the caller's bytes: nothing is copied but a
// value that had to be unfolded.
//
// It is a pure function of its inputs: the bytes, the signature file name and a source of
// boundaries. It reads no settings, counts nothing and logs nothing; its callers do that
// with what the result tells (the boundaries drawn, the attachments written). Header
// fields are read as RFC 5322 reads them: names in any letter case, values with their
// continuation rows. What it tolerated in a malformed message it lists in defects().

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QVBoundarySource.h"
#include "core/QVCheck.h"
#include "core/QVContentPart.h"
#include "core/QVParse.h"
#include "core/QVPartTree.h"
#include "core/QVRebuild.h"
#include "core/QVRoles.h"
#include "core/QVRowScan.h"
#include "core/QVRows.h"

namespace qv {

class QVManipulator {
 public:
  static constexpr std::uint32_t kMaxNesting = qv::kMaxNesting;
  static constexpr std::uint64_t kMaxRows = QVRows::kMaxRows;
  // The signature file name when the caller has none to give.
  static constexpr std::string_view kDefaultSignatureName = "email-signature";

  // A picture whose file name contains `signatureName` stays inline; an empty name matches
  // none. With `keepInlineBelow`, so does a picture of fewer bytes than that.
  explicit QVManipulator(std::string_view data,
                         std::string_view signatureName = kDefaultSignatureName,
                         std::optional<std::size_t> keepInlineBelow = std::nullopt);
  // With the rows of `data` found beforehand by a QVRowScanner fed exactly its bytes (say,
  // while they were read from a file).
  QVManipulator(std::string_view data, QVRowScan rows,
                std::string_view signatureName = kDefaultSignatureName,
                std::optional<std::size_t> keepInlineBelow = std::nullopt);
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

  // The stages' values.
  [[nodiscard]] const QVRows& rows() const { return rows_; }
  [[nodiscard]] const QVPartTree& tree() const { return tree_; }
  [[nodiscard]] const QVRoles& roles() const { return roles_; }

  // The message text, or nothing when it was not UTF-8.
  [[nodiscard]] std::optional<std::string_view> dataStr() const;
  [[nodiscard]] std::uint32_t rowCount() const { return rows_.count; }
  // Row i (i < rowCount()), without its line feed; a CR before the line feed stays.
  [[nodiscard]] std::string_view row(std::uint32_t i) const { return rows_.row(i); }
  // True when the message's rows end in CR LF (its first delimiter row tells).
  [[nodiscard]] bool crlf() const { return tree_.crlf; }

  // Parses one level of a multipart body with the given boundary from row `startPos` up to
  // its closing delimiter row or the last row, in place of the whole message; returns one
  // past the row where it stopped (startPos itself when there is nothing to walk).
  std::int32_t collectPartsBody(std::optional<std::string_view> boundary, std::int32_t startPos);

  // What the parse found. Indexes in the bags refer to bagAll().
  [[nodiscard]] const QVContentPart& header() const { return tree_.header(); }
  [[nodiscard]] const std::deque<QVContentPart>& bagAll() const { return tree_.parts; }
  // The body of each kind (its shown piece, when it is in pieces), or none.
  [[nodiscard]] const QVContentPart* partTextPlain() const;
  [[nodiscard]] const QVContentPart* partTextHtml() const;
  [[nodiscard]] const QVBodies& bodies() const { return roles_.bodies; }
  [[nodiscard]] const std::vector<std::size_t>& bagInline() const { return roles_.inlines; }
  // The files, in document order; the pieces of a body in pieces are not among them.
  [[nodiscard]] const std::vector<std::size_t>& bagAttach() const { return roles_.attachments; }
  [[nodiscard]] QVPartRole roleOf(std::size_t index) const { return roles_.roleOf(index); }
  // The parse's defects, then the roles' (the displaced bodies).
  [[nodiscard]] const std::vector<QVDefectAt>& defects() const { return defects_; }
  // The epilogues that hold text, in document order (QVPartTree::epilogues).
  [[nodiscard]] const std::vector<QVRowRange>& epilogues() const { return tree_.epilogues; }

  // A leaf's header rows and its body (QVContentPart::headerText, bodyText).
  [[nodiscard]] static std::string_view partHeader(const QVContentPart& part) {
    return part.headerText;
  }
  [[nodiscard]] static std::string_view partBody(const QVContentPart& part) {
    return part.bodyText;
  }

  // Rebuilds the message, drawing the two boundaries. A body given in `replacements` takes
  // the place of all its pieces. Nothing when the message cannot be rebuilt; failure() then
  // says why (kNothingToMove, too, when the message is as an earlier rebuild left it apart
  // and `replacements` join none of its pieces). May be called again.
  [[nodiscard]] std::optional<QVRebuiltMessage> rebuild(
      QVBoundarySource& boundaries, const QVBodyReplacements& replacements = {});
  // Whether rebuild() with `replacements` leaves the message as it is (kNothingToMove): it
  // is as an earlier rebuild left its pieces apart, and `replacements` join none of them.
  [[nodiscard]] bool staysAsLeftApart(const QVBodyReplacements& replacements) const;
  // Whether the message is as an earlier rebuild left its pieces apart (leftApartAsRebuilt):
  // only then can the caller's replacements leave it as it is.
  [[nodiscard]] bool leftApart() const { return leftApart_; }
  // rebuild(), joined into bytes.
  [[nodiscard]] std::optional<std::string> manipulateParts(QVBoundarySource& boundaries);
  // Why the message cannot be rebuilt (kNoFreshBoundary when the last rebuild found no
  // boundary); nothing when it can.
  [[nodiscard]] std::optional<QVRebuildFailure> failure() const {
    if (nothingJoined_) return QVRebuildFailure::kNothingToMove;
    return noFreshBoundary_ ? std::optional(QVRebuildFailure::kNoFreshBoundary) : failure_;
  }

 private:
  void assign(QVPartTree tree);

  std::string signature_;
  std::optional<std::size_t> keepInlineBelow_;
  QVRows rows_;
  QVPartTree tree_;
  QVRoles roles_;
  std::vector<QVDefectAt> defects_;
  std::optional<QVRebuildFailure> failure_;
  bool noFreshBoundary_ = false;  // the last rebuild found no boundary that did not clash
  bool leftApart_ = false;        // leftApartAsRebuilt()
  bool nothingJoined_ = false;    // the last rebuild joined none of the pieces left apart
};

}  // namespace qv
