// UploadFile: the block matcher of a difference upload. It reads the upload
// server's checksum list (weak Adler-32 and MD5 per block of its copy), slides
// a window of the block length over the local file and writes the local
// bytes that no server block covers to the difference file; the matches make
// the have-list. Used by one Upload on its own thread only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/foundation/value.h"

struct InfoItem {
  std::array<uint8_t, 16> MD5{};
  uint16_t index = 0;
};

struct ServerItem {
  uint64_t offset = 0;  // where the server block's content starts locally
  uint16_t index = 0;
};

class UploadFile {
public:
  // The have-list numbers blocks with 16 bits: a longer list can't be named.
  static constexpr size_t kMaxBlocks = 65536;

  UploadFile();

  // Fills serverinfo and empties serverhave; false for an empty list, a
  // length that is not a multiple of 20, or more blocks than can be named.
  bool resolve_serverinof(const plat::Data& list);
  // Matches the local file (read through a read-only map, never copied) and
  // writes the difference file at `newFd`'s current position. False when the
  // method is given up: no match by two thirds of the file, a block length
  // that can't be used, or a read or write failure.
  bool resolve_file(int fileFd, int newFd);
  // 8-byte offset and 2-byte block number, little-endian, per match; nothing
  // when there is no match.
  std::optional<plat::Data> get_serverhave() const;

  static uint64_t alder32(const uint8_t* bytes, int32_t length);
  static uint64_t rolling32(uint64_t c, uint8_t out, uint8_t in, int32_t length);

  int32_t piece() const { return piece_; }
  void setPiece(int32_t piece) { piece_ = piece; }
  const std::vector<ServerItem>& serverhave() const { return serverhave_; }
  const std::unordered_multimap<uint32_t, InfoItem>& serverinfo() const { return serverinfo_; }

private:
  static uint32_t filterKey(uint32_t weak) { return (weak ^ (weak >> 16)) & 0xFFFF; }
  bool maybeKnown(uint32_t weak) const {
    const uint32_t k = filterKey(weak);
    return (filter_[k >> 6] >> (k & 63)) & 1;
  }

  int32_t piece_ = 0;
  std::vector<ServerItem> serverhave_;
  // Every block under its weak checksum: blocks that share one are told
  // apart by MD5, so none of them is lost. At most kMaxBlocks entries.
  std::unordered_multimap<uint32_t, InfoItem> serverinfo_;
  // One bit per hash of a known weak checksum: most windows are ruled out
  // without a map lookup.
  std::array<uint64_t, 1024> filter_{};
};
