#pragma once
// What `stowlet rewrite` gives the restructuring besides the message: each text body that
// stands in pieces between the files placed inside it, joined into one body in document
// order; and the HTML without the image tags of the parts that become attachments.
//
// A body is joined by decoding each piece (its transfer encoding, its charset: the pieces
// are converted to UTF-8 when their charsets differ), joining the texts and encoding the
// whole once, in quoted-printable or base64 as fits. A piece that cannot be decoded leaves
// the pieces as they are (the first with text is then the body, the others inline text
// after it): none is ever lost. A piece in a charset whose bytes are not ASCII's (UTF-16,
// say) is converted to UTF-8 before its rows are touched, or left apart; base64 with data
// after its padding cannot be decoded.
//
// With `mboxQuoted` (a message of a mailbox), a body's ">From " rows are the mailbox's
// quoting: undone before a body is decoded, and no row written anew begins as a mailbox row.

#include "core/QVManipulator.h"

namespace qv::cli {

[[nodiscard]] QVBodyReplacements commandBodies(const QVManipulator& manipulator, bool keepHtml,
                                               bool mboxQuoted = false);

}  // namespace qv::cli
