// The content hash that identifies a file to the service and in the sync
// databases: SHA-1 of the file's bytes, read in chunks, never held whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class FileSHA1 {
public:
  // 40 lowercase hex digits of the SHA-1 of the file at `path` (despite the
  // name, it is SHA-1). `size` is the chunk length, 0 meaning 4096. Empty when
  // the file can't be opened or can't be read to its end (a directory, an I/O
  // error) and for what is not a regular file (a FIFO, a device): a failure
  // never yields something that looks like a hash.
  static std::optional<std::string> FileMD5HashCreateWithPath(const std::string& path, uint64_t size);
};
