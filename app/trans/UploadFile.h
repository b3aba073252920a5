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
  // Matches the local file (read with pread through a bounded window) and
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
  // A weak checksum's bit in the filter; the filter's words are asked for
  // ahead of the test.
  uint32_t filterBit(uint32_t weak) const { return (weak * 0x85EBCA77u) >> filterShift_; }
  void prefetchFilter(uint32_t weak) const { __builtin_prefetch(&filter_[filterBit(weak) >> 6]); }
  bool passes(uint32_t weak) const {
    const uint32_t bit = filterBit(weak);
    return (filter_[bit >> 6] >> (bit & 63)) & 1;
  }
  // Whether some server block has this weak checksum: an open-addressed set
  // of the checksums (each stored plus one, 0 marking a free slot).
  bool known(uint32_t weak) const {
    const uint32_t key = weak + 1;
    for (uint32_t i = (weak * 0x9E3779B1u) >> knownShift_;; i = (i + 1) & knownMask_) {
      const uint32_t v = known_[i];
      if (v == key) return true;
      if (v == 0) return false;
    }
  }

  int32_t piece_ = 0;
  std::vector<ServerItem> serverhave_;
  // Every block under its weak checksum: blocks that share one are told
  // apart by MD5, so none of them is lost. At most kMaxBlocks entries.
  std::unordered_multimap<uint32_t, InfoItem> serverinfo_;
  // The weak checksums of serverinfo_ once each, and a filter of one bit
  // per hash of them before it: windows are ruled out without a map lookup.
  std::vector<uint32_t> known_;
  uint32_t knownShift_ = 31, knownMask_ = 1;
  std::vector<uint64_t> filter_;
  uint32_t filterShift_ = 26;
};
