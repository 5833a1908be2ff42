#pragma once
// The check stage: whether a parsed message can be, and needs to be, rebuilt. A message that
// cannot is sent as the host generated it.

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/QVPartTree.h"
#include "core/QVRoles.h"
#include "core/QVRows.h"

namespace qv {

// Why a message has no rebuilt form.
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

// The first reason, in the order above, why the message cannot be rebuilt; nothing when it
// can (but for kNoFreshBoundary, which only the rebuild finds).
[[nodiscard]] std::optional<QVRebuildFailure> checkRebuild(const QVRows& rows,
                                                           const QVPartTree& tree,
                                                           const QVRoles& roles);

// The message has the rebuilt shape but that a body stands in pieces left apart (its shown
// piece first, in the alternative; the others inline text in the top level after it): a
// rebuild that joins none of them would change nothing (kNothingToMove), one that joins
// them would.
[[nodiscard]] bool leftApartAsRebuilt(const QVPartTree& tree, const QVRoles& roles);

}  // namespace qv
