// stowlet-hook-peak MESSAGE: the peak resident memory of the hook path in process. The
// message file's bytes are what Mail's generator hands the hook (bytes in); the hook
// rebuilds them into a new message (bytes out). Prints one line:
//   size=BYTES base=BYTES peak=BYTES
// where base is the resident memory before the message is read and peak the process's
// high-water mark after the hook ran.

#include <cstdio>
#include <fstream>
#include <string>

#include "bench/QVHookFixture.h"
#include "standin/QVMailObjects.h"

namespace {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
std::size_t statusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stoull(line.substr(prefix.size())) * 1024;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: stowlet-hook-peak MESSAGE\n");
    return 64;
  }
  const std::size_t base = statusBytes("VmRSS");
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "stowlet-hook-peak: cannot read %s\n", argv[1]);
    return 66;
  }
  // Sized in advance: a string grown while reading would hold two copies for a moment.
  in.seekg(0, std::ios::end);
  std::string raw(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
  const std::size_t size = raw.size();
  qv::bench::QVHookFixture fixture(std::move(raw));
  const qv::QVObjectRef message = fixture.send();
  const auto* outgoing = dynamic_cast<const qv::mail::QVMailOutgoingMessage*>(message.get());
  const auto* data =
      outgoing != nullptr ? dynamic_cast<const qv::QVData*>(outgoing->rawData.get()) : nullptr;
  if (data == nullptr || data->bytes().size() <= size / 2) {
    std::fprintf(stderr, "stowlet-hook-peak: the hook gave no rebuilt message\n");
    return 70;
  }
  std::printf("size=%zu base=%zu peak=%zu\n", size, base, statusBytes("VmHWM"));
  return 0;
}
