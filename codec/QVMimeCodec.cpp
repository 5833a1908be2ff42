#include "codec/QVMimeCodec.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>

namespace qv::codec {

namespace {

constexpr const char* kModuleName = "stowlet-gmime.so";

std::string executableFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string exe(path, static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

struct Loaded {
  QVMimeCodec* codec = nullptr;
  std::string error;
};

Loaded load() {
  // Beside the executable (a build folder), PREFIX/lib/stowlet for PREFIX/bin/stowlet, or
  // one folder up (the tests and tools of a build folder).
  std::vector<std::string> candidates;
  if (const std::string folder = executableFolder(); !folder.empty()) {
    candidates.push_back(folder + kModuleName);
    candidates.push_back(folder + "../lib/stowlet/" + kModuleName);
    candidates.push_back(folder + "../" + kModuleName);
  }
  Loaded out;
  for (const std::string& path : candidates) {
    if (::access(path.c_str(), F_OK) != 0) continue;
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      out.error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown reason");
      return out;
    }
    void* symbol = ::dlsym(handle, kQVMimeCodecSymbol);
    if (symbol == nullptr) {
      out.error = "cannot load " + path + ": it has no " + kQVMimeCodecSymbol;
      return out;
    }
    out.codec = reinterpret_cast<QVMimeCodec* (*)()>(symbol)();
    return out;
  }
  out.error = std::string("cannot find ") + kModuleName +
              " beside the stowlet executable or in ../lib/stowlet; rebuild or reinstall it";
  return out;
}

QVMimeCodec& codec() {
  static const Loaded loaded = load();
  if (loaded.codec == nullptr) throw QVMimeUnavailable(loaded.error);
  return *loaded.codec;
}

}  // namespace

std::string mimeEncode(QVTransferCoding coding, std::string_view bytes) {
  return codec().encode(coding, bytes);
}

std::string mimeDecode(QVTransferCoding coding, std::string_view text) {
  return codec().decode(coding, text);
}

std::string mimeFilenameParameter(const std::string& name) {
  return codec().filenameParameter(name);
}

std::string mimeEncodeHeaderText(const std::string& value) {
  return codec().encodeHeaderText(value);
}

std::optional<std::vector<QVMimeNode>> mimeRead(std::string_view raw) {
  return codec().read(raw);
}

}  // namespace qv::codec

namespace qv::codec {

std::optional<std::string> mimeToUtf8(const std::string& charset, std::string_view text) {
  return codec().toUtf8(charset, text);
}

}  // namespace qv::codec
