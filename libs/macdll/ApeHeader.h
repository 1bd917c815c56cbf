#pragma once
// The start of a Monkey's Audio file: whether it is one, and whether what precedes its audio fits in it.

#include <cstddef>
#include <cstdint>
#include <span>

namespace merolune {

// The bytes CheckApeHead needs from the start of a file: the 52-byte descriptor of version 3980 on,
// and the longer of the older 32-byte header with its optional peak level and seek-table count.
inline constexpr std::size_t kApeHeadBytes = 52;

enum class ApeHead {
  Usable,           // what precedes the audio lies inside the file; the decoder judges the rest
  NotMonkeysAudio,  // no "MAC " at the start
  Unusable,         // too short for its own header, or stating more header than the file holds
};

// Judges a file of `fileSize` bytes from its first bytes, `head` (kApeHeadBytes, or the whole file
// when it is shorter; anything past kApeHeadBytes is not read). The bytes before the first frame
// (descriptor, header, seek table, stored WAV header and, before version 3810, the bit table) are
// counted as FFmpeg's demuxer places the first frame, in 64 bits: at least one byte of audio must
// follow them. FFmpeg itself opens a file cut inside its seek table (only decoding fails) and sizes
// its frame and seek tables from these fields before reading them. Pure; any thread.
ApeHead CheckApeHead(std::span<const std::uint8_t> head, std::uint64_t fileSize);

}  // namespace merolune
