// stowlet-gmime.so: the coders and the message reader of QVMimeCodec.h, done by GMime. Built
// as a module that links GMime and nothing of Stowlet, so that it holds no second copy of
// any of the process's state.

#include <gmime/gmime.h>
#include <iconv.h>

#include <algorithm>
#include <functional>
#include <mutex>

#include "codec/QVMimeCodec.h"

namespace qv::codec {

namespace {

void ensureGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

GMimeContentEncoding gmimeEncoding(QVTransferCoding coding) {
  return coding == QVTransferCoding::kBase64 ? GMIME_CONTENT_ENCODING_BASE64
                                             : GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
}

std::string code(QVTransferCoding coding, bool encode, std::string_view in) {
  ensureGMime();
  GMimeEncoding state;
  if (encode) {
    g_mime_encoding_init_encode(&state, gmimeEncoding(coding));
  } else {
    g_mime_encoding_init_decode(&state, gmimeEncoding(coding));
  }
  std::string out(g_mime_encoding_outlen(&state, in.size()) + 16, '\0');
  const std::size_t n = g_mime_encoding_flush(&state, in.data(), in.size(), out.data());
  out.resize(n);
  return out;
}

std::optional<std::string> text(const char* s) {
  if (s == nullptr) return std::nullopt;
  return std::string(s);
}

std::string decodedContent(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return {};
  GMimeStream* out = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(wrapper, out);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
  std::string content(reinterpret_cast<const char*>(bytes->data), bytes->len);
  g_object_unref(out);
  return content;
}

QVMimeNode node(GMimeObject* object, int depth) {
  QVMimeNode n;
  n.depth = depth;
  GMimeContentType* type = g_mime_object_get_content_type(object);
  n.type = text(g_mime_content_type_get_media_type(type)).value_or("") + "/" +
           text(g_mime_content_type_get_media_subtype(type)).value_or("");
  n.disposition = text(g_mime_object_get_disposition(object));
  n.contentId = text(g_mime_object_get_content_id(object));
  if (GMIME_IS_PART(object)) {
    n.leaf = true;
    n.filename = text(g_mime_part_get_filename(GMIME_PART(object)));
    n.content = decodedContent(GMIME_PART(object));
  }
  return n;
}

class GMimeCodec final : public QVMimeCodec {
 public:
  std::string encode(QVTransferCoding coding, std::string_view bytes) override {
    return code(coding, true, bytes);
  }

  std::string decode(QVTransferCoding coding, std::string_view text) override {
    return code(coding, false, text);
  }

  std::string filenameParameter(const std::string& name) override {
    ensureGMime();
    GMimeParamList* list = g_mime_param_list_new();
    g_mime_param_list_set_parameter(list, "filename", name.c_str());
    const bool ascii = std::all_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
      g_mime_param_set_encoding_method(g_mime_param_list_get_parameter(list, "filename"),
                                       GMIME_PARAM_ENCODING_METHOD_RFC2231);
    }
    GString* encoded = g_string_new("");
    g_mime_param_list_encode(list, nullptr, FALSE, encoded);
    std::string out(encoded->str, encoded->len);
    g_string_free(encoded, TRUE);
    g_object_unref(list);
    const std::size_t at = out.find("filename");
    return at == std::string::npos ? "filename=" + name : out.substr(at);
  }

  std::string encodeHeaderText(const std::string& value) override {
    ensureGMime();
    char* encoded = g_mime_utils_header_encode_text(nullptr, value.c_str(), "utf-8");
    std::string out = encoded != nullptr ? encoded : value;
    g_free(encoded);
    return out;
  }

  std::optional<std::vector<QVMimeNode>> read(std::string_view raw) override {
    ensureGMime();
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(raw.data(), raw.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    std::optional<std::vector<QVMimeNode>> nodes;
    if (message != nullptr) {
      if (GMimeObject* root = g_mime_message_get_mime_part(message)) {
        nodes.emplace();
        std::function<void(GMimeObject*, int)> walk = [&](GMimeObject* object, int depth) {
          nodes->push_back(node(object, depth));
          if (GMIME_IS_MULTIPART(object)) {
            auto* multipart = GMIME_MULTIPART(object);
            for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
              walk(g_mime_multipart_get_part(multipart, i), depth + 1);
            }
          }
        };
        walk(root, 0);
      }
      g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return nodes;
  }

  std::optional<std::string> toUtf8(const std::string& charset, std::string_view text) override {
    ensureGMime();
    iconv_t cd = g_mime_iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    // The whole text or nothing: a byte that is not text in the charset gives none.
    std::string in(text);
    std::string out(in.size() * 4 + 16, '\0');
    char* inp = in.data();
    char* outp = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const std::size_t n = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    g_mime_iconv_close(cd);
    if (n == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
  }
};

}  // namespace

}  // namespace qv::codec

extern "C" __attribute__((visibility("default"))) qv::codec::QVMimeCodec* qvMimeCodecV2() {
  static qv::codec::GMimeCodec codec;
  return &codec;
}
