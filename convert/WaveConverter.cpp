// Turns the MPEG layer 3 audio inside a WAV file (format tag 85) into a 16-bit PCM WAV image in memory.

#include "WaveConverter.h"

#include <mpg123.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <utility>

#include "WaveHeader.h"

namespace merolune {

namespace {

constexpr char kNoMpegWav[] = "The .wav file holds no MPEG layer 3 audio";
constexpr char kNoMpegFrames[] = "No MPEG audio frames in the .wav file";
constexpr char kMpegDecodeFailed[] = "MPEG audio in the .wav file could not be decoded: ";
constexpr char kMpegSetupFailed[] = "libmpg123 could not be set up: ";
constexpr char kMpegFormatChanged[] = "The MPEG audio in the .wav file changes its format midway";
constexpr char kDecodedTooLong[] =
    "The MPEG audio in the .wav file decodes to more than a .wav file can hold";
constexpr char kNotConverted[] = "The .wav file's audio has not been converted";

constexpr std::uint16_t kMpegLayer3Tag = 85;
// The most PCM bytes a WAV header can describe.
constexpr std::uint64_t kMaxPcmBytes = 0xFFFFFFFFULL - (kWaveHeaderSize - 8);
// LAME's encoder delay in frames: the start of the music in its first decoded frame.
constexpr long kLameEncoderDelay = 576;
// Fed to libmpg123 in pieces, so its own copy of the input stays small.
constexpr std::size_t kFeedBytes = 64 * 1024;
// The PCM is decoded into blocks that double from the first size to the largest, so no buffer is
// ever reallocated with the PCM in it and a short file does not clear a megabyte for nothing.
constexpr std::size_t kFirstPcmBlockBytes = 64 * 1024;
constexpr std::size_t kPcmBlockBytes = 1024 * 1024;

// Reads up to `count` bytes, fewer only at the end of the stream.
std::size_t ReadFully(Stream& stream, std::uint8_t* buffer, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const std::size_t n = stream.Read(buffer + got, count - got);
    if (n == 0) break;
    got += n;
  }
  return got;
}

struct HandleDeleter {
  void operator()(mpg123_handle* handle) const noexcept { mpg123_delete(handle); }
};
using Handle = std::unique_ptr<mpg123_handle, HandleDeleter>;

// Old libmpg123 versions need it once per process; current ones do nothing.
void InitLibraryOnce() {
  static std::once_flag once;
  static int result = MPG123_OK;
  std::call_once(once, [] { result = mpg123_init(); });
  if (result != MPG123_OK) throw EAuException(kMpegSetupFailed + std::string(mpg123_plain_strerror(result)));
}

Handle OpenDecoder(long rate, std::uint16_t channels) {
  InitLibraryOnce();
  int error = MPG123_OK;
  Handle handle(mpg123_new(nullptr, &error));
  if (!handle) throw EAuException(kMpegSetupFailed + std::string(mpg123_plain_strerror(error)));
  const auto check = [&](int result) {
    if (result != MPG123_OK)
      throw EAuException(kMpegSetupFailed + std::string(mpg123_strerror(handle.get())));
  };
  // libmpg123 would otherwise print its complaints about the stream on stderr.
  check(mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0.0));
  // One output format only: the one the file declares. libmpg123 doubles or mixes channels (and
  // resamples) when frames disagree with it, so the PCM never changes shape midway.
  check(mpg123_format_none(handle.get()));
  check(mpg123_format(handle.get(), rate, channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16));
  check(mpg123_open_feed(handle.get()));
  return handle;
}

}  // namespace

TWaveConverter::TWaveConverter() = default;

TWaveConverter::~TWaveConverter() = default;

void TWaveConverter::LoadFromStream(Stream& stream) {
  format_.clear();
  channels_ = 0;
  sampleRate_ = 0;
  factFrames_.reset();
  compressed_.clear();
  compressed_.shrink_to_fit();
  image_.clear();
  image_.shrink_to_fit();
  frames_ = 0;
  converted_ = false;

  std::array<std::uint8_t, 12> riff{};
  stream.SeekTo(0);
  if (ReadFully(stream, riff.data(), riff.size()) != riff.size() || !TagIsNoCase(&riff[0], "RIFF") ||
      !TagIsNoCase(&riff[8], "WAVE")) {
    throw EAuException(kNoMpegWav);
  }
  const std::uint64_t end = stream.Size();
  bool dataFound = false;
  ScanChunks(stream, [&](const RiffChunk& chunk) {
    const std::uint64_t available = end - chunk.Body;
    if (TagIsNoCase(chunk.Tag.data(), "data")) {
      // A length past the end (never patched, or a cut file) means "up to the end".
      const auto bytes = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.Size, available));
      compressed_.resize(bytes);
      compressed_.resize(ReadFully(stream, compressed_.data(), bytes));
      dataFound = true;
      return ChunkScan::Stop;
    }
    if (TagIsNoCase(chunk.Tag.data(), "fmt ")) {
      if (chunk.Size < kWaveFormatSize || chunk.Size > available || chunk.Size > 4096) throw EAuException(kNoMpegWav);
      format_.assign(chunk.Size, 0);
      if (ReadFully(stream, format_.data(), chunk.Size) != chunk.Size) throw EAuException(kNoMpegWav);
    } else if (TagIsNoCase(chunk.Tag.data(), "fact") && chunk.Size >= 4 && available >= 4) {
      std::array<std::uint8_t, 4> count{};
      if (ReadFully(stream, count.data(), count.size()) == count.size()) factFrames_ = LoadU32(count.data());
    }
    return ChunkScan::Next;
  });
  WaveFormatInfo declared;
  if (!format_.empty()) LoadWaveFormat(format_.data(), declared);
  if (!dataFound || format_.empty() || declared.FormatTag != kMpegLayer3Tag) throw EAuException(kNoMpegWav);
  channels_ = declared.Channels;
  sampleRate_ = declared.SampleRate;
  // MPEG audio has one or two channels and rates from 8 to 48 kHz.
  if (channels_ < 1 || channels_ > 2 || sampleRate_ < 8000 || sampleRate_ > 48000)
    throw EAuException(kNoMpegWav);
}

void TWaveConverter::Convert() {
  if (format_.empty()) throw EAuException(kNoMpegWav);
  const std::size_t frameBytes = 2U * channels_;
  Handle handle = OpenDecoder(static_cast<long>(sampleRate_), channels_);
  mpg123_handle* decoder = handle.get();

  std::vector<std::vector<std::uint8_t>> blocks;
  std::size_t blockFill = 0;  // bytes in the last block
  std::size_t fed = 0;
  std::uint64_t decodedBytes = 0;
  for (;;) {
    if (blocks.empty() || blockFill == blocks.back().size()) {
      const std::size_t next =
          blocks.empty() ? kFirstPcmBlockBytes : std::min(kPcmBlockBytes, 2 * blocks.back().size());
      blocks.emplace_back(next);
      blockFill = 0;
    }
    std::size_t done = 0;
    const int result =
        mpg123_read(decoder, blocks.back().data() + blockFill, blocks.back().size() - blockFill, &done);
    blockFill += done;
    decodedBytes += done;
    // What lies past the "fact" count would be cut anyway.
    if (factFrames_ && *factFrames_ > 0 && decodedBytes >= std::uint64_t{*factFrames_} * frameBytes) break;
    // The frames dropped at the start are far fewer than a block.
    if (decodedBytes > kMaxPcmBytes + kPcmBlockBytes) throw EAuException(kDecodedTooLong);
    if (result == MPG123_OK) continue;
    if (result == MPG123_NEW_FORMAT) {
      long rate = 0;
      int channels = 0;
      int encoding = 0;
      mpg123_getformat(decoder, &rate, &channels, &encoding);
      if (rate != static_cast<long>(sampleRate_) || channels != channels_ || encoding != MPG123_ENC_SIGNED_16)
        throw EAuException(kMpegFormatChanged);
      continue;
    }
    if (result == MPG123_NEED_MORE) {
      if (fed == compressed_.size()) break;
      const std::size_t piece = std::min(kFeedBytes, compressed_.size() - fed);
      if (mpg123_feed(decoder, compressed_.data() + fed, piece) != MPG123_OK)
        throw EAuException(kMpegDecodeFailed + std::string(mpg123_strerror(decoder)));
      fed += piece;
      continue;
    }
    if (result == MPG123_DONE) break;
    throw EAuException(kMpegDecodeFailed + std::string(mpg123_strerror(decoder)));
  }
  if (decodedBytes < frameBytes) throw EAuException(kNoMpegFrames);

  // Where the original starts and ends in what was decoded (see the class comment).
  std::int64_t last = static_cast<std::int64_t>(decodedBytes / frameBytes);
  if (factFrames_ && *factFrames_ > 0 && *factFrames_ < last) last = *factFrames_;
  long encoderDelay = -1;
  long decoderDelay = -1;
  if (mpg123_getstate(decoder, MPG123_ENC_DELAY, &encoderDelay, nullptr) != MPG123_OK) encoderDelay = -1;
  if (mpg123_getstate(decoder, MPG123_DEC_DELAY, &decoderDelay, nullptr) != MPG123_OK) decoderDelay = -1;
  std::int64_t first = 0;
  // An info frame's delay was already trimmed by libmpg123; layers 1 and 2 have no delay to guess.
  if (encoderDelay < 0 && decoderDelay >= 0)
    first = std::min<std::int64_t>(kLameEncoderDelay + decoderDelay, last);
  handle.reset();
  compressed_.clear();
  compressed_.shrink_to_fit();

  frames_ = last - first;
  const std::uint64_t pcmBytes = static_cast<std::uint64_t>(frames_) * frameBytes;
  if (pcmBytes > kMaxPcmBytes) throw EAuException(kDecodedTooLong);
  // Reserved rather than zeroed, so the image's pages are only touched as the blocks are moved in
  // and freed: the PCM is never held twice.
  image_.reserve(kWaveHeaderSize + pcmBytes);
  image_.assign(kWaveHeaderSize, 0);
  std::uint64_t skip = static_cast<std::uint64_t>(first) * frameBytes;
  std::uint64_t left = pcmBytes;
  for (std::vector<std::uint8_t>& block : blocks) {
    const std::uint64_t held = &block == &blocks.back() ? blockFill : block.size();
    const std::uint64_t from = std::min(skip, held);
    const std::uint64_t count = std::min(held - from, left);
    const auto begin = block.begin() + static_cast<std::ptrdiff_t>(from);
    image_.insert(image_.end(), begin, begin + static_cast<std::ptrdiff_t>(count));
    skip -= from;
    left -= count;
    std::vector<std::uint8_t>().swap(block);
  }

  // From now on the current format is the PCM's.
  std::vector<std::uint8_t> pcmFormat(kWaveFormatSize, 0);
  StoreWaveFormat(pcmFormat.data(), PcmWaveFormat(channels_, sampleRate_, 16));
  format_ = std::move(pcmFormat);
  converted_ = true;
}

std::unique_ptr<MemoryStream> TWaveConverter::SaveWavImage() {
  if (!converted_) throw EAuException(kNotConverted);
  const auto dataBytes = static_cast<std::uint32_t>(image_.size() - kWaveHeaderSize);
  WaveFormatInfo pcm;
  LoadWaveFormat(format_.data(), pcm);
  const auto header = MakeWaveHeader(pcm, static_cast<std::uint32_t>(image_.size() - 8), dataBytes);
  std::copy(header.begin(), header.end(), image_.begin());
  converted_ = false;
  return std::make_unique<MemoryStream>(std::exchange(image_, {}));
}

}  // namespace merolune
