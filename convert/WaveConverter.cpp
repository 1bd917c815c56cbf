// Turns the MPEG layer 3 audio inside a WAV file (format tag 85) into a 16-bit PCM WAV image in memory.

#include "WaveConverter.h"

#include <mpg123.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

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
constexpr std::uint32_t kHeaderBytes = 44;
// The most PCM bytes a WAV header can describe.
constexpr std::uint64_t kMaxPcmBytes = 0xFFFFFFFFULL - (kHeaderBytes - 8);
// LAME's encoder delay in frames: the start of the music in its first decoded frame.
constexpr long kLameEncoderDelay = 576;
// Fed to libmpg123 in pieces, so its own copy of the input stays small.
constexpr std::size_t kFeedBytes = 64 * 1024;
// The PCM is decoded into blocks that double from the first size to the largest, so no buffer is
// ever reallocated with the PCM in it and a short file does not clear a megabyte for nothing.
constexpr std::size_t kFirstPcmBlockBytes = 64 * 1024;
constexpr std::size_t kPcmBlockBytes = 1024 * 1024;

bool TagIs(const std::uint8_t* at, const char* tag) {
  for (int i = 0; i < 4; ++i) {
    if (std::toupper(at[i]) != std::toupper(static_cast<unsigned char>(tag[i]))) return false;
  }
  return true;
}

std::uint16_t LoadU16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }

std::uint32_t LoadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(LoadU16(at)) | (static_cast<std::uint32_t>(LoadU16(at + 2)) << 16);
}

void StoreU16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value & 0xFFU);
  at[1] = static_cast<std::uint8_t>((value >> 8) & 0xFFU);
}

void StoreU32(std::uint8_t* at, std::uint32_t value) {
  StoreU16(at, value & 0xFFFFU);
  StoreU16(at + 2, value >> 16);
}

void StoreTag(std::uint8_t* at, const char* tag) { std::memcpy(at, tag, 4); }

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
  stream.Seek(0, SeekOrigin::Begin);
  if (ReadFully(stream, riff.data(), riff.size()) != riff.size() || !TagIs(&riff[0], "RIFF") ||
      !TagIs(&riff[8], "WAVE")) {
    throw EAuException(kNoMpegWav);
  }
  const std::uint64_t end = stream.Size();
  std::uint64_t position = riff.size();
  bool dataFound = false;
  std::array<std::uint8_t, 8> head{};
  while (!dataFound && end > position && end - position >= head.size()) {
    stream.Seek(static_cast<std::int64_t>(position), SeekOrigin::Begin);
    if (ReadFully(stream, head.data(), head.size()) != head.size()) break;
    const std::uint32_t size = LoadU32(&head[4]);
    const std::uint64_t available = end - position - head.size();
    if (TagIs(head.data(), "data")) {
      // A length past the end (never patched, or a cut file) means "up to the end".
      const auto bytes = static_cast<std::size_t>(std::min<std::uint64_t>(size, available));
      compressed_.resize(bytes);
      compressed_.resize(ReadFully(stream, compressed_.data(), bytes));
      dataFound = true;
    } else if (TagIs(head.data(), "fmt ")) {
      if (size < 16 || size > available || size > 4096) throw EAuException(kNoMpegWav);
      format_.assign(size, 0);
      if (ReadFully(stream, format_.data(), size) != size) throw EAuException(kNoMpegWav);
    } else if (TagIs(head.data(), "fact") && size >= 4 && available >= 4) {
      std::array<std::uint8_t, 4> count{};
      if (ReadFully(stream, count.data(), count.size()) == count.size()) factFrames_ = LoadU32(count.data());
    }
    position += head.size() + static_cast<std::uint64_t>(size) + (size & 1U);
  }
  if (!dataFound || format_.empty() || LoadU16(&format_[0]) != kMpegLayer3Tag) throw EAuException(kNoMpegWav);
  channels_ = LoadU16(&format_[2]);
  sampleRate_ = LoadU32(&format_[4]);
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
  image_.reserve(kHeaderBytes + pcmBytes);
  image_.assign(kHeaderBytes, 0);
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
  std::vector<std::uint8_t> pcmFormat(16, 0);
  StoreU16(&pcmFormat[0], 1);
  StoreU16(&pcmFormat[2], channels_);
  StoreU32(&pcmFormat[4], sampleRate_);
  StoreU32(&pcmFormat[8], sampleRate_ * static_cast<std::uint32_t>(frameBytes));
  StoreU16(&pcmFormat[12], static_cast<std::uint32_t>(frameBytes));
  StoreU16(&pcmFormat[14], 16);
  format_ = std::move(pcmFormat);
  converted_ = true;
}

std::unique_ptr<MemoryStream> TWaveConverter::SaveWavImage() {
  if (!converted_) throw EAuException(kNotConverted);
  const auto dataBytes = static_cast<std::uint32_t>(image_.size() - kHeaderBytes);
  std::uint8_t* header = image_.data();
  StoreTag(&header[0], "RIFF");
  StoreU32(&header[4], static_cast<std::uint32_t>(image_.size() - 8));
  StoreTag(&header[8], "WAVE");
  StoreTag(&header[12], "fmt ");
  StoreU32(&header[16], 16);
  std::memcpy(&header[20], format_.data(), 16);
  StoreTag(&header[36], "data");
  StoreU32(&header[40], dataBytes);
  converted_ = false;
  return std::make_unique<MemoryStream>(std::exchange(image_, {}));
}

}  // namespace merolune
