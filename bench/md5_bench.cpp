// Digests one file with Md5OfFile and prints "<hex digest> <seconds>", the
// time covering the whole call (open, reads, transform, close). bench/md5.sh
// runs it beside the system's md5 tools.
#include <chrono>
#include <cstdio>

#include "image/Md5.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: md5_bench FILE\n");
    return 2;
  }
  imgweld::Md5Digest digest{};
  const auto start = std::chrono::steady_clock::now();
  const bool ok = imgweld::Md5OfFile(digest, argv[1]);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (!ok) {
    std::fprintf(stderr, "md5_bench: cannot digest %s\n", argv[1]);
    return 1;
  }
  for (uint8_t b : digest) std::printf("%02x", b);
  std::printf(" %.6f\n", elapsed.count());
  return 0;
}
