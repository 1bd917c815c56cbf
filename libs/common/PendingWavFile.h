#pragma once
// A 16-bit stereo PCM WAV file written under a temporary name and renamed into place only when complete.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "PendingFile.h"

namespace merolune {

// The codec libraries cannot report errors to their callers, so a failed conversion must show as a
// missing destination: the samples go to a PendingFile, which only Commit() gives the destination's
// name. Destroying the object without a successful Commit() deletes that file, so an error, a
// cancelled decoding or an exception never leaves a partial destination behind.
class PendingWavFile {
 public:
  PendingWavFile() = default;
  ~PendingWavFile();
  PendingWavFile(const PendingWavFile&) = delete;
  PendingWavFile& operator=(const PendingWavFile&) = delete;

  // Creates the temporary file beside `destination` and reserves room for the 44-byte header.
  // False when no file could be created there (missing directory, no permission, ...).
  bool Create(const std::string& destination);
  // Appends interleaved 16-bit stereo frames, little-endian. False on a write error or when the data
  // would no longer fit the 32-bit RIFF sizes.
  bool Write(const std::int16_t* interleaved, std::size_t frames);
  // Same for samples already laid out as little-endian bytes (whole frames of 4 bytes).
  bool WriteBytes(const unsigned char* bytes, std::size_t size);
  // Writes the final header for `sampleRate`, closes the file and renames it to the destination,
  // replacing an existing file. False (and the temporary file removed) on any error, and for a rate
  // a WAV header cannot state (0, or above 2^30 - 1).
  bool Commit(std::uint32_t sampleRate);
  // Removes the temporary file; the destination is not touched.
  void Discard();

  std::uint64_t FramesWritten() const { return dataBytes_ / kBytesPerFrame; }
  // The system error (errno) of the first failure since Create; 0 when there was none, or when the
  // failure had no system cause (data too large for a WAV).
  int Error() const { return error_; }

 private:
  static constexpr std::uint32_t kBytesPerFrame = 4;

  // Marks the file failed and keeps errno as the first error.
  void Fail();

  PendingFile file_;
  std::uint64_t dataBytes_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

}  // namespace merolune
