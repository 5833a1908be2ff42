#pragma once
// The rebuild stage: rows, tree, roles, a boundary source and the caller's replacements ->
// the rebuilt message.
//
// The rebuilt message has a `multipart/mixed` top level (keeping the message's own top
// boundary) whose first part is a `multipart/alternative` of the plain-text and the HTML
// part, wrapped with the signature pictures in a `multipart/related` when there are any;
// every other part follows as an attachment, its disposition row saying "attachment" and
// its Content-Id row left out. The pieces of a body left apart but the shown one follow
// among them, in document order, as the inline text parts they are. Rows taken from the
// message are written back exactly as they came, but for the header's Content-Type row,
// the disposition rows of moved parts and the Content-Id field of attachments; the
// header's Content-Length and Lines fields are left out. The rows it writes itself end
// like the message's rows (LF or CR LF).

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QVBoundarySource.h"
#include "core/QVPartTree.h"
#include "core/QVRoles.h"
#include "core/QVRows.h"

namespace qv {

// A caller's text for a body, in place of all its pieces: the whole part (its header rows,
// the empty row, the body), rows separated by line feeds (a CR before each where the
// message has CR LF), no line end after the last row.
// `pieces` holds a text for one piece of a body left apart (in pieces that could not be
// joined), by its index in the tree: the HTML without the moved pictures' image tags.
struct QVBodyReplacements {
  std::optional<std::string> plain;
  std::optional<std::string> html;
  std::map<std::size_t, std::string> pieces;
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

// The message rebuilt; checkRebuild() must have found no failure. Nothing when the boundary
// source gives no boundary that the message does not use (kNoFreshBoundary).
[[nodiscard]] std::optional<QVRebuiltMessage> rebuildMessage(
    const QVRows& rows, const QVPartTree& tree, const QVRoles& roles, QVBoundarySource& boundaries,
    const QVBodyReplacements& replacements = {});

}  // namespace qv
