// Hashes one file with FileSHA1 the way the sync engine does, for run.sh to
// time against openssl and sha1sum: prints "<hash>  <path>" like sha1sum.
#include <cstdio>
#include <cstdlib>

#include "Framework/Staticclass/FileSHA1.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <file> <chunk size>\n", argv[0]);
    return 2;
  }
  auto hash = FileSHA1::FileMD5HashCreateWithPath(argv[1], std::strtoull(argv[2], nullptr, 10));
  if (!hash) {
    std::fprintf(stderr, "cannot hash %s\n", argv[1]);
    return 1;
  }
  std::printf("%s  %s\n", hash->c_str(), argv[1]);
  return 0;
}
