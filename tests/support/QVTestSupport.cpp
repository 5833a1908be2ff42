#include "tests/support/QVTestSupport.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef STOWLET_CORPUS_DIR
#error "STOWLET_CORPUS_DIR must name the folder of real messages"
#endif

namespace qv::test {

void QVContextTest::SetUp() {
  std::srand(20261208);
}

namespace {

std::string normalisedBody(std::string body) {
  std::string out;
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
    out.push_back(body[i]);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string rawContent(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return {};
  GMimeStream* stream = g_mime_data_wrapper_get_stream(wrapper);
  if (stream == nullptr) return {};
  g_mime_stream_reset(stream);
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = g_mime_stream_read(stream, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  g_mime_stream_reset(stream);
  return normalisedBody(std::move(out));
}

std::string text(const char* s) {
  return s == nullptr ? std::string() : std::string(s);
}

// The content as a reader gets it: transfer encoding undone, and for text converted from
// its charset to UTF-8 with line ends made LF.
std::string decodedContent(GMimePart* part) {
  if (GMIME_IS_TEXT_PART(part)) {
    char* utf8 = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
    std::string out = text(utf8);
    g_free(utf8);
    std::string lf;
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) lf.push_back(out[i]);
    }
    return lf;
  }
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return {};
  GMimeStream* sink = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(wrapper, sink);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink));
  std::string out(reinterpret_cast<const char*>(bytes->data), bytes->len);
  g_object_unref(sink);
  return out;
}

void walk(GMimeObject* object, QVMimeView& view, const std::string& parents = {},
          bool lastInParent = false) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  const std::string subtype = text(g_mime_content_type_get_media_subtype(type));
  if (GMIME_IS_MULTIPART(object)) {
    auto* multipart = GMIME_MULTIPART(object);
    view.tree += subtype + "[";
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) {
      if (i > 0) view.tree += ",";
      walk(g_mime_multipart_get_part(multipart, i), view,
           parents.empty() ? subtype : parents + "/" + subtype, i + 1 == count);
    }
    view.tree += "]";
    return;
  }
  view.tree += subtype;
  QVMimeLeaf leaf;
  leaf.type = text(g_mime_content_type_get_media_type(type)) + "/" + subtype;
  leaf.disposition = text(g_mime_object_get_disposition(object));
  leaf.contentId = text(g_mime_object_get_content_id(object));
  leaf.parents = parents;
  leaf.lastInParent = lastInParent;
  if (GMIME_IS_PART(object)) {
    leaf.filename = text(g_mime_part_get_filename(GMIME_PART(object)));
    leaf.body = rawContent(GMIME_PART(object));
    leaf.decoded = decodedContent(GMIME_PART(object));
  }
  view.leaves.push_back(std::move(leaf));
}

}  // namespace

QVMimeView parseMime(std::string_view bytes) {
  static const bool initialised = [] {
    g_mime_init();
    return true;
  }();
  (void)initialised;
  QVMimeView view;
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  if (message != nullptr) {
    GMimeObject* root = g_mime_message_get_mime_part(message);
    if (root != nullptr) {
      view.parsed = true;
      walk(root, view);
    }
    g_object_unref(message);
  }
  g_object_unref(parser);
  g_object_unref(stream);
  return view;
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << file;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::vector<std::filesystem::path> realCorpus() {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path dir(STOWLET_CORPUS_DIR);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().extension() == ".eml") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> splitRows(std::string_view text) {
  std::vector<std::string> rows;
  std::size_t start = 0;
  for (;;) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      rows.emplace_back(text.substr(start));
      return rows;
    }
    rows.emplace_back(text.substr(start, lf - start));
    start = lf + 1;
  }
}

std::string joinRows(const std::vector<std::string>& rows, std::string_view eol) {
  std::string text;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) text += eol;
    text += rows[i];
  }
  return text;
}

}  // namespace qv::test

namespace qv::test {

std::filesystem::path goldenDir() {
  return std::filesystem::path(STOWLET_SOURCE_DIR) / "tests" / "golden";
}

void expectGolden(const std::filesystem::path& file, std::string_view actual) {
  const char* regenerate = std::getenv("STOWLET_REGENERATE");
  if (regenerate != nullptr && std::string_view(regenerate) == "1") {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << actual;
    return;
  }
  std::ifstream in(file, std::ios::binary);
  ASSERT_TRUE(in.good()) << "no golden file " << file << " (STOWLET_REGENERATE=1 writes it)";
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string expected = buffer.str();
  if (expected == actual) return;
  const std::vector<std::string> want = splitRows(expected);
  const std::vector<std::string> got = splitRows(actual);
  std::size_t row = 0;
  while (row < want.size() && row < got.size() && want[row] == got[row]) ++row;
  ADD_FAILURE() << file.filename().string() << ": first difference at row " << row << "\n"
                << "  expected: " << (row < want.size() ? want[row] : "(end)") << "\n"
                << "  actual:   " << (row < got.size() ? got[row] : "(end)") << "\n"
                << "(STOWLET_REGENERATE=1 rewrites the golden files)";
}

}  // namespace qv::test
