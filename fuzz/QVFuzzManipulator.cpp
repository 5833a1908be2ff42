// Construction, collection and restructuring on arbitrary bytes.
//
// Whatever the input: the rebuild is none, or it never ends in a line feed, draws two
// boundaries of 28 characters of [0-9a-zA-Z], keeps the body of every part the collection
// sorted and every row of its epilogues, and (where GMime can read the input's header at
// all) GMime reads it as multipart/mixed.

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/QVManipulator.h"
#include "core/QVRowScan.h"

namespace {

// The top-level content type GMime reads, or "" when it cannot read the message.
std::string gmimeTopType(std::string_view bytes) {
  static const bool ready = [] {
    g_mime_init();
    return true;
  }();
  (void)ready;
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  std::string type;
  if (message != nullptr) {
    if (GMimeObject* root = g_mime_message_get_mime_part(message)) {
      GMimeContentType* ct = g_mime_object_get_content_type(root);
      type = std::string(g_mime_content_type_get_media_type(ct)) + "/" +
             g_mime_content_type_get_media_subtype(ct);
    }
    g_object_unref(message);
  }
  g_object_unref(parser);
  g_object_unref(stream);
  return type;
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

bool boundaryShape(const std::string& b) {
  if (b.size() != 28) return false;
  for (char c : b) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // The rows found piece by piece (pieces cut from the input's size) are the rows of the
  // whole...
  qv::QVRowScan pieces;
  {
    qv::QVRowScanner scanner(pieces.starts, &pieces.dashRows, size);
    std::uint32_t state = static_cast<std::uint32_t>(size) * 2654435761u + 1u;
    for (std::size_t at = 0; at < size;) {
      state = state * 1103515245u + 12345u;
      const std::size_t n = std::min<std::size_t>(size - at, (state >> 16) % 70 + 1);
      scanner.feed(input.substr(at, n));
      at += n;
    }
    pieces.utf8 = scanner.finish();
  }
  qv::QVRowStarts whole, wholeDashes;
  const bool utf8 = qv::scanRows(input, whole, &wholeDashes);
  check(pieces.utf8 == utf8, "the piecewise scan judges UTF-8 as the whole scan");
  if (utf8) {
    check(pieces.starts == whole && pieces.dashRows == wholeDashes,
          "the piecewise scan finds the rows of the whole scan");
  }
  // ...and a manipulator given them rebuilds exactly as one that scans for itself.
  std::optional<std::string> fromPieces;
  {
    qv::QVSeededBoundaries boundaries(7);
    qv::QVManipulator given(input, std::move(pieces));
    if (auto r = given.rebuild(boundaries)) fromPieces = r->bytes();
  }

  qv::QVSeededBoundaries boundaries(7);
  qv::QVManipulator m(input);
  std::optional<qv::QVRebuiltMessage> rebuilt = m.rebuild(boundaries);
  check(rebuilt.has_value() == fromPieces.has_value() &&
            (!rebuilt || rebuilt->bytes() == *fromPieces),
        "rows found beforehand rebuild the same message");
  // The restructuring is a function of its inputs: the same boundaries give the same bytes.
  qv::QVSeededBoundaries again(7);
  std::optional<qv::QVRebuiltMessage> second = m.rebuild(again);
  check(rebuilt.has_value() == second.has_value() &&
            (!rebuilt || rebuilt->bytes() == second->bytes()),
        "a second rebuild gives the same message");
  if (!rebuilt) return 0;
  const std::string out = rebuilt->bytes();
  check(out.size() == rebuilt->size(), "the size is the joined size");
  check(!out.empty() && out.back() != '\n', "the result never ends in a line feed");
  check(boundaryShape(rebuilt->relatedBoundary()) && boundaryShape(rebuilt->alternativeBoundary()),
        "boundaries of 28 characters of the alphabet");
  // Every sorted part's body (the rows after its header block) is in the result.
  auto keep = [&](const qv::QVContentPart& p) {
    std::uint32_t r = p.startRow;
    while (r <= p.endRow && !(m.row(r).empty() || m.row(r) == "\r")) ++r;
    std::string body;
    for (std::uint32_t k = r + 1; k <= p.endRow && k < m.rowCount(); ++k) {
      if (k > r + 1) body.push_back('\n');
      body.append(m.row(k));
    }
    check(out.find(body) != std::string::npos, "every sorted leaf body is in the result");
  };
  for (std::size_t i : m.bagInline()) keep(m.bagAll()[i]);
  for (std::size_t i : m.bagAttach()) keep(m.bagAll()[i]);
  for (std::size_t i : m.bodies().plain) keep(m.bagAll()[i]);
  for (std::size_t i : m.bodies().html) keep(m.bagAll()[i]);
  // Text after closing rows is kept, after the rebuilt message's end.
  for (const qv::QVRowRange& e : m.epilogues()) {
    for (std::uint32_t r = e.first; r <= e.last; ++r) {
      std::string_view text = m.row(r);
      while (!text.empty() && text.back() == '\r') text.remove_suffix(1);  // the line end's
      check(out.find(text) != std::string::npos, "every epilogue row is in the result");
    }
  }
  if (!gmimeTopType(input).empty()) {
    check(gmimeTopType(out) == "multipart/mixed", "GMime reads the result as multipart/mixed");
  }
  return 0;
}
