#pragma once
// What `stowlet rewrite` gives the restructuring besides the message: each text body that
// stands in pieces between the files placed inside it, joined into one body in document
// order; and the HTML without the image tags of the parts that become attachments.
//
// A body is joined by decoding each piece (its transfer encoding, its charset: the pieces
// are converted to UTF-8 when their charsets differ), joining the texts and encoding the
// whole once, in quoted-printable or base64 as fits. A piece that cannot be decoded leaves
// the pieces as they are (the last is then the body, the others are kept as files): none
// is ever lost.

#include "core/QVManipulator.h"

namespace qv::cli {

[[nodiscard]] QVBodyReplacements commandBodies(QVManipulator& manipulator, bool keepHtml);

}  // namespace qv::cli
