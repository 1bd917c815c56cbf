#include "ApeEncoder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "LittleEndian.h"

namespace merolune {
namespace {

constexpr std::uint16_t kFileVersion = 3990;
constexpr std::uint32_t kDescriptorBytes = 52;
constexpr std::uint32_t kHeaderBytes = 24;
constexpr std::size_t kMaxWavHeaderBytes = 1 << 20;  // the reference decoder refuses larger ones
// With no stored WAV header the decoder writes a canonical one.
constexpr std::uint16_t kFlagCreateWavHeader = 32;
// What the reference encoder reserves the seek table for when the length is unknown.
constexpr std::int64_t kUnknownLengthBytes = 0x7FFFFFFF;
constexpr std::uint32_t kBlocksPerFrame = 73728;
constexpr std::uint32_t kBlocksPerFrameExtraHigh = 73728 * 4;

// The frame flags: a channel all zeros, or both channels equal. The first channel of a block is
// the one the reference calls "right".
constexpr std::uint32_t kSecondChannelSilent = 1;
constexpr std::uint32_t kFirstChannelSilent = 2;
constexpr std::uint32_t kBothChannelsSilent = kFirstChannelSilent | kSecondChannelSilent;
constexpr std::uint32_t kPseudoStereo = 4;
// Marks a CRC word that is followed by a flags word.
constexpr std::uint32_t kFlagsPresent = 0x80000000;

constexpr char kErrorFormat[] = "Monkey's Audio encoding takes 16-bit stereo PCM only";
constexpr char kErrorRate[] = "The sample rate must not be 0";
constexpr char kErrorWavHeader[] = "A stored WAV header must not exceed 1 MiB";
constexpr char kErrorMaxAudio[] = "The audio size limit must be -1 (unknown) or 4 to 4294967295 bytes";
constexpr char kErrorTooLong[] = "The audio is longer than the Monkey's Audio file was sized for";
constexpr char kErrorEmpty[] = "A Monkey's Audio file needs at least one stereo sample";
constexpr char kErrorPartialBlock[] = "The PCM data ends inside a stereo sample";
constexpr char kErrorFinished[] = "The Monkey's Audio file is already complete";

std::size_t SeekEntries(std::int64_t maxAudioBytes, std::uint32_t blocksPerFrame) {
  const std::int64_t bytes = maxAudioBytes == -1 ? kUnknownLengthBytes : maxAudioBytes;
  if (bytes < 4 || bytes > 0xFFFFFFFF) throw std::invalid_argument(kErrorMaxAudio);
  const std::uint64_t blocks = static_cast<std::uint64_t>(bytes) / 4;
  return static_cast<std::size_t>((blocks + blocksPerFrame - 1) / blocksPerFrame);
}

}  // namespace

ApeEncoder::ApeEncoder(ApeOutput& output, const ApeEncoderSettings& settings)
    : output_(output),
      level_(settings.Level),
      sampleRate_(settings.SampleRate),
      blocksPerFrame_(settings.Level == 4000 ? kBlocksPerFrameExtraHigh : kBlocksPerFrame),
      wavHeaderBytes_(settings.WavHeader.size()),
      packer_([this](const std::uint8_t* bytes, std::size_t size) { AppendFrameArea(bytes, size); }),
      coder_(packer_),
      predictY_(settings.Level),  // throws for a level other than 1000...4000
      predictX_(settings.Level) {
  if (settings.Channels != 2 || settings.BitsPerSample != 16) throw std::invalid_argument(kErrorFormat);
  if (sampleRate_ == 0) throw std::invalid_argument(kErrorRate);
  if (wavHeaderBytes_ > kMaxWavHeaderBytes) throw std::invalid_argument(kErrorWavHeader);
  seekTable_.assign(SeekEntries(settings.MaxAudioBytes, blocksPerFrame_), 0);
  framePcm_.resize(std::size_t{blocksPerFrame_} * kBytesPerBlock);

  // Room for the descriptor, header and seek table, filled in at Finish.
  const std::vector<std::uint8_t> reserved(kDescriptorBytes + kHeaderBytes + 4 * seekTable_.size());
  output_.Append(reserved.data(), reserved.size());
  if (wavHeaderBytes_ > 0) {
    output_.Append(settings.WavHeader.data(), wavHeaderBytes_);
    md5_.Update(settings.WavHeader.data(), wavHeaderBytes_);
  }
}

ApeEncoder::~ApeEncoder() = default;

void ApeEncoder::Write(const std::uint8_t* pcm, std::size_t bytes) {
  if (finished_) throw std::logic_error(kErrorFinished);
  while (bytes > 0) {
    const std::size_t take = std::min(bytes, framePcm_.size() - framePcmBytes_);
    std::memcpy(framePcm_.data() + framePcmBytes_, pcm, take);
    framePcmBytes_ += take;
    pcm += take;
    bytes -= take;
    if (framePcmBytes_ == framePcm_.size()) EncodeFrame();
  }
}

void ApeEncoder::Finish() {
  if (finished_) throw std::logic_error(kErrorFinished);
  if (framePcmBytes_ % kBytesPerBlock != 0) throw std::runtime_error(kErrorPartialBlock);
  if (framePcmBytes_ > 0) EncodeFrame();
  if (frames_ == 0) throw std::runtime_error(kErrorEmpty);
  packer_.Finish();
  finished_ = true;

  std::vector<std::uint8_t> head = HeaderBytes();
  // The checksum covers the header and seek table after the frames, so they can be final by now.
  md5_.Update(head.data() + kDescriptorBytes, head.size() - kDescriptorBytes);
  const std::array<std::uint8_t, 16> digest = md5_.Final();
  std::copy(digest.begin(), digest.end(), head.begin() + 36);
  output_.Overwrite(0, head.data(), head.size());
}

void ApeEncoder::AppendFrameArea(const std::uint8_t* bytes, std::size_t size) {
  md5_.Update(bytes, size);
  output_.Append(bytes, size);
  frameAreaBytes_ += size;
}

void ApeEncoder::PutWord(std::uint32_t word) {
  for (int shift = 24; shift >= 0; shift -= 8) packer_.Put(static_cast<std::uint8_t>(word >> shift));
}

void ApeEncoder::EncodeFrame() {
  if (frames_ == seekTable_.size()) throw std::length_error(kErrorTooLong);
  const std::uint64_t start =
      kDescriptorBytes + kHeaderBytes + 4 * seekTable_.size() + wavHeaderBytes_ + packer_.Length();
  if (start > 0xFFFFFFFF) throw std::length_error(kErrorTooLong);
  seekTable_[frames_] = static_cast<std::uint32_t>(start);

  const std::size_t blocks = framePcmBytes_ / kBytesPerBlock;
  const std::uint8_t* pcm = framePcm_.data();
  std::uint32_t flags = kBothChannelsSilent | kPseudoStereo;
  for (std::size_t n = 0; n < blocks && flags != 0; ++n) {
    const std::int16_t c0 = LoadS16(pcm + 4 * n);
    const std::int16_t c1 = LoadS16(pcm + 4 * n + 2);
    if (c0 != 0) flags &= ~kFirstChannelSilent;
    if (c1 != 0) flags &= ~kSecondChannelSilent;
    if (c0 != c1) flags &= ~kPseudoStereo;
  }

  // The CRC of the frame's PCM bytes keeps 31 bits; the top bit announces the flags word.
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, pcm, static_cast<uInt>(framePcmBytes_)));
  PutWord((crc >> 1) | (flags != 0 ? kFlagsPresent : 0));
  if (flags != 0) PutWord(flags);
  CodeFrameBody(blocks, flags);

  ++frames_;
  blocks_ += blocks;
  lastFrameBlocks_ = static_cast<std::uint32_t>(blocks);
  framePcmBytes_ = 0;
}

void ApeEncoder::CodeFrameBody(std::size_t blocks, std::uint32_t flags) {
  // Every frame starts afresh, so that a decoder can begin at any frame.
  coder_.Begin();
  predictY_.Reset();
  predictX_.Reset();
  ApeResidualState stateY;
  ApeResidualState stateX;
  const std::uint8_t* pcm = framePcm_.data();
  if ((flags & kBothChannelsSilent) == kBothChannelsSilent) {
    // Nothing to code: the decoder produces zeros.
  } else if (flags & kPseudoStereo) {
    for (std::size_t n = 0; n < blocks; ++n) coder_.EncodeResidual(predictX_.Compress(LoadS16(pcm + 4 * n), 0), stateX);
  } else {
    // Y is the channels' difference and X their truncated mean; Y is predicted from the previous
    // block's X, X from the current Y, as the decoder rebuilds Y first.
    std::int32_t lastX = 0;
    for (std::size_t n = 0; n < blocks; ++n) {
      const std::int32_t c0 = LoadS16(pcm + 4 * n);
      const std::int32_t c1 = LoadS16(pcm + 4 * n + 2);
      const std::int32_t y = c1 - c0;
      const std::int32_t x = c0 + y / 2;
      coder_.EncodeResidual(predictY_.Compress(y, lastX), stateY);
      coder_.EncodeResidual(predictX_.Compress(x, y), stateX);
      lastX = x;
    }
  }
  coder_.End();
}

std::vector<std::uint8_t> ApeEncoder::HeaderBytes() const {
  std::vector<std::uint8_t> head(kDescriptorBytes + kHeaderBytes + 4 * seekTable_.size());
  std::uint8_t* d = head.data();
  std::memcpy(d, "MAC ", 4);
  StoreU16(d + 4, kFileVersion);
  StoreU32(d + 8, kDescriptorBytes);
  StoreU32(d + 12, kHeaderBytes);
  StoreU32(d + 16, static_cast<std::uint32_t>(4 * seekTable_.size()));
  StoreU32(d + 20, static_cast<std::uint32_t>(wavHeaderBytes_));
  StoreU32(d + 24, static_cast<std::uint32_t>(frameAreaBytes_));
  StoreU32(d + 28, static_cast<std::uint32_t>(frameAreaBytes_ >> 32));
  // Terminating data bytes (d + 32) and the MD5 (d + 36) stay 0 here.

  std::uint8_t* h = d + kDescriptorBytes;
  StoreU16(h, static_cast<std::uint32_t>(level_));
  StoreU16(h + 2, wavHeaderBytes_ > 0 ? 0 : kFlagCreateWavHeader);
  StoreU32(h + 4, blocksPerFrame_);
  StoreU32(h + 8, lastFrameBlocks_);
  StoreU32(h + 12, frames_);
  StoreU16(h + 16, 16);
  StoreU16(h + 18, 2);
  StoreU32(h + 20, sampleRate_);

  std::uint8_t* seek = h + kHeaderBytes;
  for (std::size_t i = 0; i < seekTable_.size(); ++i) StoreU32(seek + 4 * i, seekTable_[i]);
  return head;
}

}  // namespace merolune
