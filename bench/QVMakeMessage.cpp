// Writes a Mail-format message of the given size in megabytes: stowlet-make-message MB OUT

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/QVMailMessageMaker.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stowlet-make-message MEGABYTES OUT\n");
    return 64;
  }
  const long megabytes = std::strtol(argv[1], nullptr, 10);
  if (megabytes <= 0 || megabytes > 4000) {
    std::fprintf(stderr, "stowlet-make-message: MEGABYTES must be between 1 and 4000\n");
    return 64;
  }
  const std::string message = qv::bench::makeMailMessage(static_cast<std::size_t>(megabytes) << 20);
  std::ofstream out(argv[2], std::ios::binary);
  out.write(message.data(), static_cast<std::streamsize>(message.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "stowlet-make-message: cannot write %s\n", argv[2]);
    return 73;
  }
  return 0;
}
