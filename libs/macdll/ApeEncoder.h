#pragma once
// Monkey's Audio (.ape, file version 3990) encoder for 16-bit stereo PCM, streaming to an output the
// caller provides.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ApePredictor.h"
#include "ApeRangeCoder.h"
#include "Md5.h"

namespace merolune {

// Where the encoder's file goes. Append adds bytes at the end; Overwrite replaces bytes written
// earlier (only the first 76 + 4 * seek entries bytes, once, at Finish). Either may throw; the
// exception leaves the encoder unusable and the output incomplete.
class ApeOutput {
 public:
  virtual ~ApeOutput() = default;
  virtual void Append(const std::uint8_t* bytes, std::size_t size) = 0;
  virtual void Overwrite(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) = 0;
};

struct ApeEncoderSettings {
  int Level = 2000;  // 1000 fast, 2000 normal, 3000 high, 4000 extra high
  std::uint32_t SampleRate = 44100;
  std::uint16_t Channels = 2;        // only 2 is accepted
  std::uint16_t BitsPerSample = 16;  // only 16 is accepted
  // An upper bound of the PCM bytes to come, which sizes the seek table (one entry per frame);
  // -1 when unknown: then room for 2^31 - 1 bytes, as the reference encoder reserves.
  std::int64_t MaxAudioBytes = -1;
  // A WAV header to store in the file, reproduced as it stands on decoding; empty stores none
  // and the decoder makes a canonical one. At most 1 MiB; read during construction only.
  std::span<const std::uint8_t> WavHeader;
};

// Writes the file as PCM arrives: the header area (descriptor, header, seek table, WAV header) is
// reserved at construction and filled in at Finish; frames go out as they fill. Memory stays at one
// frame of PCM (73728 or 294912 blocks of 4 bytes) plus the seek table, whatever the length.
// One thread at a time. Construction throws std::invalid_argument for a level, format or rate the
// format cannot hold; Write and Finish throw std::length_error when the audio exceeds the seek
// table, std::logic_error when used after Finish, and whatever the output throws.
class ApeEncoder {
 public:
  ApeEncoder(ApeOutput& output, const ApeEncoderSettings& settings);
  ~ApeEncoder();
  ApeEncoder(const ApeEncoder&) = delete;
  ApeEncoder& operator=(const ApeEncoder&) = delete;

  // Interleaved little-endian PCM (c0, c1 per block), in pieces of any size, even split inside a
  // sample.
  void Write(const std::uint8_t* pcm, std::size_t bytes);
  // Codes the last frame and completes the file. Throws std::runtime_error when no whole block was
  // written (a Monkey's Audio file cannot be empty) or when the input ended inside a block.
  void Finish();

  // Whole blocks received so far.
  std::uint64_t BlocksWritten() const noexcept { return blocks_ + framePcmBytes_ / kBytesPerBlock; }

 private:
  static constexpr std::size_t kBytesPerBlock = 4;

  void EncodeFrame();
  void CodeFrameBody(std::size_t blocks, std::uint32_t flags);
  void AppendFrameArea(const std::uint8_t* bytes, std::size_t size);
  void PutWord(std::uint32_t word);
  std::vector<std::uint8_t> HeaderBytes() const;

  ApeOutput& output_;
  int level_;
  std::uint32_t sampleRate_;
  std::uint32_t blocksPerFrame_;
  std::size_t wavHeaderBytes_;
  std::vector<std::uint32_t> seekTable_;  // sized at construction; unused entries stay 0
  std::uint32_t frames_ = 0;
  std::uint64_t blocks_ = 0;  // in the frames coded so far
  std::uint32_t lastFrameBlocks_ = 0;
  std::uint64_t frameAreaBytes_ = 0;
  std::vector<std::uint8_t> framePcm_;  // the frame being collected, as received
  std::size_t framePcmBytes_ = 0;
  Md5 md5_;
  ApeWordPacker packer_;
  ApeRangeCoder coder_;
  ApePredictor predictY_;
  ApePredictor predictX_;
  bool finished_ = false;
};

}  // namespace merolune
