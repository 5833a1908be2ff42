#include "core/QVManipulator.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace qv {

QVManipulator::QVManipulator(std::string_view data, std::string_view signatureName,
                             std::optional<std::size_t> keepInlineBelow)
    : signature_(signatureName), keepInlineBelow_(keepInlineBelow), rows_(scanMessage(data)) {
  assign(parseParts(rows_));
}

QVManipulator::QVManipulator(std::string_view data, QVRowScan rows, std::string_view signatureName,
                             std::optional<std::size_t> keepInlineBelow)
    : signature_(signatureName),
      keepInlineBelow_(keepInlineBelow),
      rows_(scanMessage(data, std::move(rows))) {
  assign(parseParts(rows_));
}

void QVManipulator::assign(QVPartTree tree) {
  tree_ = std::move(tree);
  roles_ = assignRoles(tree_, signature_, keepInlineBelow_);
  defects_ = tree_.defects;
  defects_.insert(defects_.end(), roles_.defects.begin(), roles_.defects.end());
  failure_ = checkRebuild(rows_, tree_, roles_);
  leftApart_ = !failure_ && leftApartAsRebuilt(tree_, roles_);
  noFreshBoundary_ = false;
}

std::int32_t QVManipulator::collectPartsBody(std::optional<std::string_view> boundary,
                                             std::int32_t startPos) {
  if (!boundary || startPos < 0 || static_cast<std::uint32_t>(startPos) >= rows_.count) {
    return startPos;
  }
  std::uint32_t end = 0;
  assign(parseBody(rows_, *boundary, static_cast<std::uint32_t>(startPos), end));
  return static_cast<std::int32_t>(end);
}

std::optional<std::string_view> QVManipulator::isolateStr(std::string_view text,
                                                          std::string_view prefix,
                                                          std::string_view suffix) {
  const std::size_t at = text.find(prefix);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + prefix.size());
  if (suffix.empty()) return rest.substr(0, 0);
  auto it = std::search(rest.begin(), rest.end(), suffix.begin(), suffix.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return rest.substr(0, static_cast<std::size_t>(it - rest.begin()));
}

std::optional<std::string_view> QVManipulator::dataStr() const {
  if (!rows_.utf8 || rows_.tooLarge) return std::nullopt;
  return rows_.data;
}

const QVContentPart* QVManipulator::partTextPlain() const {
  return roles_.bodies.plain.empty() ? nullptr : &tree_.parts[roles_.bodies.plainShown];
}

const QVContentPart* QVManipulator::partTextHtml() const {
  return roles_.bodies.html.empty() ? nullptr : &tree_.parts[roles_.bodies.htmlShown];
}

std::optional<QVRebuiltMessage> QVManipulator::rebuild(QVBoundarySource& boundaries,
                                                       const QVBodyReplacements& replacements) {
  noFreshBoundary_ = false;
  nothingJoined_ = false;
  if (failure_) return std::nullopt;
  if (staysAsLeftApart(replacements)) {
    nothingJoined_ = true;
    return std::nullopt;
  }
  std::optional<QVRebuiltMessage> rebuilt =
      rebuildMessage(rows_, tree_, roles_, boundaries, replacements);
  noFreshBoundary_ = !rebuilt;
  return rebuilt;
}

bool QVManipulator::staysAsLeftApart(const QVBodyReplacements& replacements) const {
  // Pieces left apart by an earlier rebuild, which the caller could not join this time
  // either: the message stays as it is.
  const QVBodies& b = roles_.bodies;
  return leftApart_ && (b.plain.size() <= 1 || !replacements.plain) &&
         (b.html.size() <= 1 || !replacements.html);
}

std::optional<std::string> QVManipulator::manipulateParts(QVBoundarySource& boundaries) {
  std::optional<QVRebuiltMessage> rebuilt = rebuild(boundaries);
  if (!rebuilt) return std::nullopt;
  return rebuilt->bytes();
}

}  // namespace qv
