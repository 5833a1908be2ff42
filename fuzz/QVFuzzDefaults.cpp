// Loading a settings file of arbitrary bytes: it is read, or refused without being touched;
// a file that was read takes a change and reads back with it.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "standin/QVMailDefaults.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path dir = [] {
    auto d =
        std::filesystem::temp_directory_path() / ("stowlet-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  const std::filesystem::path file = dir / "mail-defaults.plist";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  auto opened = qv::QVMailDefaults::open(file);
  if (!opened.store) {
    check(!opened.error.empty(), "a refusal says why");
    check(contents(file) == bytes, "a refused file is left as it is");
    return 0;
  }
  opened.store->setInteger(42, "QVStowletCount");
  opened.store->setValue("fuzz", "QVStowletSignatureFilename");
  if (auto error = opened.store->save()) {
    check(contents(file) == bytes, "a failed save leaves the file as it was");
    return 0;
  }
  auto again = qv::QVMailDefaults::open(file);
  check(again.store != nullptr, "what was saved reads back");
  check(again.store->integerForKey("QVStowletCount") == 42, "the change is kept");
  return 0;
}
