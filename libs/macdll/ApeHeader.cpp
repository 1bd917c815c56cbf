// The start of a Monkey's Audio file: whether it is one, and whether what precedes its audio fits in it.

#include "ApeHeader.h"

#include <cstring>

#include "LittleEndian.h"

namespace merolune {

namespace {

// The first bytes of every Monkey's Audio file that FFmpeg reads (floating-point audio has "MACF").
constexpr char kMagic[4] = {'M', 'A', 'C', ' '};
constexpr std::size_t kVersionEnd = 6;
// From version 3980 on a 52-byte descriptor gives the sizes of what precedes the audio.
constexpr std::uint16_t kDescriptorVersion = 3980;
constexpr std::size_t kDescriptorBytes = 52;
// Before it a 32-byte header, optionally followed by a peak level and a seek-table count.
constexpr std::size_t kOldHeaderBytes = 32;
constexpr std::uint16_t kFlagPeakLevel = 4;
constexpr std::uint16_t kFlagSeekElements = 16;
// Versions before this one follow the seek table with one byte per frame.
constexpr std::uint16_t kBitTableBefore = 3810;

// The bytes before the first frame of a file from before version 3980; nothing when `head` is too
// short for the header its flags announce.
bool OldLayoutBytes(std::span<const std::uint8_t> head, std::uint16_t version, std::uint64_t& bytes) {
  if (head.size() < kOldHeaderBytes) return false;
  const std::uint16_t flags = LoadU16(&head[8]);
  const std::uint64_t wavHeader = LoadU32(&head[16]);
  const std::uint64_t frames = LoadU32(&head[24]);
  std::size_t header = kOldHeaderBytes;
  if (flags & kFlagPeakLevel) header += 4;
  std::uint64_t seekEntries = frames;
  if (flags & kFlagSeekElements) {
    if (head.size() < header + 4) return false;
    seekEntries = LoadU32(&head[header]);
    header += 4;
  }
  bytes = header + 4 * seekEntries + wavHeader + (version < kBitTableBefore ? frames : 0);
  return true;
}

}  // namespace

ApeHead CheckApeHead(std::span<const std::uint8_t> head, std::uint64_t fileSize) {
  if (head.size() < sizeof kMagic) return ApeHead::Unusable;
  if (std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) return ApeHead::NotMonkeysAudio;
  if (head.size() < kVersionEnd) return ApeHead::Unusable;
  const std::uint16_t version = LoadU16(&head[4]);
  std::uint64_t before = 0;
  if (version >= kDescriptorVersion) {
    if (head.size() < kDescriptorBytes) return ApeHead::Unusable;
    // Descriptor, header, seek table and stored WAV header.
    for (std::size_t field = 8; field <= 20; field += 4) before += LoadU32(&head[field]);
  } else if (!OldLayoutBytes(head, version, before)) {
    return ApeHead::Unusable;
  }
  return before < fileSize ? ApeHead::Usable : ApeHead::Unusable;
}

}  // namespace merolune
