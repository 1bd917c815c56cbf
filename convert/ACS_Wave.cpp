// The RIFF/WAVE pipeline components: TWaveIn reads a PCM WAV file, TWaveOut writes one.

#include "ACS_Wave.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "Samples.h"
#include "WaveConverter.h"
#include "WaveHeader.h"

namespace merolune {

namespace {

constexpr char kNotSupportedWav[] = "Not a supported .wav file: ";
constexpr char kCannotAppend[] = "Cannot append data to this .wav file.";
// The most data bytes the header describes: the RIFF size holds 36 more.
constexpr std::uint32_t kMaxDataLength = 0xFFFFFFFFU - 36;

TWavType KindOfTag(std::uint16_t tag) {
  switch (tag) {
    case 1:
      return TWavType::wtPCM;
    case 17:
      return TWavType::wtDVIADPCM;
    case 2:
      return TWavType::wtMSADPCM;
    case 85:
      return TWavType::wtACM;
    default:
      return TWavType::wtUnsupported;
  }
}

// The source seen from its "RIFF" tag on, with both tags in upper case, for ReadWaveHeader: files
// with lower-case tags or with bytes before the RIFF header exist, and the reader expects neither.
class RiffView final : public Stream {
 public:
  // `riff` is where the RIFF tag was found, `body` the first byte after the WAVE tag.
  RiffView(Stream& source, std::uint64_t riff, std::uint64_t body) : source_(source), body_(body) {
    std::array<std::uint8_t, 4> size{};
    source_.Seek(static_cast<std::int64_t>(riff + 4), SeekOrigin::Begin);
    source_.Read(size.data(), size.size());
    StoreTag(&head_[0], "RIFF");
    std::copy(size.begin(), size.end(), head_.begin() + 4);
    StoreTag(&head_[8], "WAVE");
  }

  std::size_t Read(void* buffer, std::size_t count) override {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count && position_ < head_.size()) out[done++] = head_[position_++];
    if (done == count) return done;
    source_.Seek(static_cast<std::int64_t>(ToSource(position_)), SeekOrigin::Begin);
    const std::size_t got = source_.Read(out + done, count - done);
    position_ += got;
    return done + got;
  }
  void Write(const void*, std::size_t) override { throw EAuException("RiffView is read-only"); }
  std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override {
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current) base = static_cast<std::int64_t>(position_);
    if (origin == SeekOrigin::End) base = static_cast<std::int64_t>(Size());
    if (base + offset < 0) throw EAuException("Seek before the start of the stream");
    position_ = static_cast<std::uint64_t>(base + offset);
    return position_;
  }
  std::uint64_t Position() const override { return position_; }
  std::uint64_t Size() const override {
    const std::uint64_t end = source_.Size();
    return head_.size() + (end > body_ ? end - body_ : 0);
  }
  // The source offset of view position `position` (at or past the 12 header bytes).
  std::uint64_t ToSource(std::uint64_t position) const { return body_ + (position - head_.size()); }

 private:
  Stream& source_;
  std::uint64_t body_;
  std::array<std::uint8_t, 12> head_{};
  std::uint64_t position_ = 0;
};

// Finds the "RIFF" tag and then the "WAVE" tag byte by byte in the first 4096 bytes, any letter case;
// false when either is missing.
bool FindRiffWave(Stream& source, std::uint64_t& riff, std::uint64_t& body) {
  std::array<std::uint8_t, 4096> head{};
  source.Seek(0, SeekOrigin::Begin);
  std::size_t length = 0;
  while (length < head.size()) {
    const std::size_t n = source.Read(head.data() + length, head.size() - length);
    if (n == 0) break;
    length += n;
  }
  std::size_t i = 0;
  while (i + 4 <= length && !TagIsNoCase(&head[i], "RIFF")) ++i;
  if (i + 4 > length) return false;
  riff = i;
  // The RIFF length field sits between the tags.
  std::size_t j = i + 8;
  while (j + 4 <= length && !TagIsNoCase(&head[j], "WAVE")) ++j;
  if (j + 4 > length) return false;
  body = j + 4;
  return true;
}

// What ReadWaveHeader does not keep: the whole "fmt " chunk body (ADPCM needs its extension) and the
// "fact" sample count.
struct ExtraChunks {
  std::vector<std::uint8_t> format;
  bool factFound = false;
  std::uint32_t factSamples = 0;
};

// Walks the chunks of the view from just after the WAVE tag up to "data".
void ReadExtraChunks(Stream& view, ExtraChunks& extra) {
  view.SeekTo(12);
  ScanChunks(view, [&](const RiffChunk& chunk) {
    if (TagIsNoCase(chunk.Tag.data(), "data")) return ChunkScan::Stop;
    if (TagIsNoCase(chunk.Tag.data(), "fmt ")) {
      // The header must fit in 4096 bytes; a longer "fmt " cannot be a real one.
      extra.format.assign(std::min<std::uint32_t>(chunk.Size, 4096), 0);
      if (!view.ReadExact(extra.format.data(), extra.format.size())) return ChunkScan::Stop;
    } else if (TagIsNoCase(chunk.Tag.data(), "fact") && chunk.Size >= 4) {
      std::array<std::uint8_t, 4> count{};
      if (!view.ReadExact(count.data(), count.size())) return ChunkScan::Stop;
      extra.factFound = true;
      extra.factSamples = LoadU32(count.data());
    }
    return ChunkScan::Next;
  });
}

// IMA/DVI ADPCM: the quantiser step sizes and the step index change per 4-bit code.
constexpr std::array<std::int32_t, 89> kImaSteps = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr std::array<std::int32_t, 16> kImaIndexChange = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                          -1, -1, -1, -1, 2, 4, 6, 8};

// Microsoft ADPCM: how the quantiser delta adapts per 4-bit code, and the coefficient pairs that a
// "fmt " chunk normally lists.
constexpr std::array<std::int32_t, 16> kMsAdapt = {230, 230, 230, 230, 307, 409, 512, 614,
                                                   768, 614, 512, 409, 307, 230, 230, 230};
constexpr std::int32_t kMaxMsDelta = INT32_MAX / 768;

// One IMA code applied to a channel's predictor and step index.
std::int16_t ImaStep(std::int32_t code, std::int32_t& predictor, std::int32_t& index) {
  const std::int32_t step = kImaSteps[static_cast<std::size_t>(index)];
  std::int32_t diff = step >> 3;
  if ((code & 1) != 0) diff += step >> 2;
  if ((code & 2) != 0) diff += step >> 1;
  if ((code & 4) != 0) diff += step;
  predictor = (code & 8) != 0 ? predictor - diff : predictor + diff;
  predictor = ClampToInt16(predictor);
  index = std::clamp(index + kImaIndexChange[static_cast<std::size_t>(code)], 0, 88);
  return static_cast<std::int16_t>(predictor);
}

// Writes a 32-bit little-endian value at `offset` of the stream.
void PatchU32(Stream& stream, std::uint64_t offset, std::uint32_t value) {
  std::array<std::uint8_t, 4> bytes{};
  StoreU32(bytes.data(), value);
  stream.SeekTo(offset);
  stream.Write(bytes.data(), bytes.size());
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// TWaveIn

TWaveIn::TWaveIn(QObject* owner) : TAuFileIn(owner) {}

TWaveIn::~TWaveIn() { CloseSource(); }

void TWaveIn::OpenSource() {
  const std::lock_guard lock(OpenLock());
  if (openCount_.load() > 0) return;
  valid_.store(false);
  kind_.store(TWavType::wtUnsupported);
  totalSamples_.store(0);
  size_.store(0);
  // Left over from a read that was aborted without closing.
  image_.reset();
  original_ = nullptr;
  if (StreamAssigned()) {
    source_ = stream_.load();
  } else {
    ownStream_ = std::make_unique<TAuFileStream>(FileName(),
                                                 TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite);
    source_ = ownStream_.get();
  }
  try {
    WaveFormatInfo info;
    std::uint64_t riff = 0;
    std::uint64_t body = 0;
    std::uint64_t dataStart = 0;
    if (FindRiffWave(*source_, riff, body)) {
      RiffView view(*source_, riff, body);
      ReadWaveHeader(view, info);
      if (info.DataStart >= 12) dataStart = view.ToSource(info.DataStart);
    }
    const TWavType kind = info.FormatChunkSize >= 16 ? KindOfTag(info.FormatTag) : TWavType::wtUnsupported;
    kind_.store(kind);
    const std::string name = StreamAssigned() ? std::string("(stream)") : FileName();
    if (kind == TWavType::wtACM && info.RiffFound && info.WaveFound) {
      // The whole file becomes PCM in memory, and from here on that image is the source.
      TWaveConverter converter;
      try {
        RiffView view(*source_, riff, body);
        converter.LoadFromStream(view);
        converter.Convert();
        image_ = converter.SaveWavImage();
      } catch (const EAuException& error) {
        throw EAuException(kNotSupportedWav + name + " (" + error.what() + ")");
      }
      original_ = source_;
      source_ = image_.get();
      info = WaveFormatInfo{};
      dataStart = 0;
      if (FindRiffWave(*source_, riff, body)) {
        RiffView view(*source_, riff, body);
        ReadWaveHeader(view, info);
        if (info.DataStart >= 12) dataStart = view.ToSource(info.DataStart);
      }
    }
    if (!info.RiffFound || !info.WaveFound || dataStart == 0 || info.Channels == 0 || info.SampleRate == 0) {
      throw EAuException(kNotSupportedWav + name);
    }
    // A stored length past the end of the file (a writer that never patched it, a cut download) is
    // taken as "up to the end".
    const std::uint64_t end = source_->Size();
    const std::uint64_t available = end > dataStart ? end - dataStart : 0;
    const std::uint64_t bytes = std::min<std::uint64_t>(info.DataSize, available);
    const std::uint32_t channels = info.Channels;
    std::int64_t frames = 0;
    dataStart_ = dataStart;
    dataRead_ = 0;
    framesDecoded_ = 0;
    if (kind == TWavType::wtPCM || kind == TWavType::wtACM) {
      const std::uint16_t bits = info.BitsPerSample;
      if (bits != 8 && bits != 16 && bits != 24 && bits != 32) throw EAuException(kNotSupportedWav + name);
      const std::uint32_t frameBytes = channels * (bits / 8U);
      // Blocks are handed out in whole frames from a buffer of kBufferSize bytes, and outputs ask
      // for no more than that at a time: a wider frame (thousands of channels) could never come out.
      if (frameBytes > static_cast<std::uint32_t>(kBufferSize)) throw EAuException(kNotSupportedWav + name);
      // A trailing partial frame cannot be handed out.
      dataBytes_ = bytes - bytes % frameBytes;
      frames = static_cast<std::int64_t>(dataBytes_ / frameBytes);
      bitsPerSample_.store(bits);
    } else if (kind == TWavType::wtDVIADPCM || kind == TWavType::wtMSADPCM) {
      ExtraChunks extra;
      {
        RiffView view(*source_, riff, body);
        ReadExtraChunks(view, extra);
      }
      const std::vector<std::uint8_t>& fmt = extra.format;
      const bool ima = kind == TWavType::wtDVIADPCM;
      // The block header of all channels together.
      const std::uint32_t headerBytes = (ima ? 4U : 7U) * channels;
      blockAlign_ = info.BlockAlign;
      if (info.BitsPerSample != 4 || blockAlign_ <= headerBytes || (!ima && channels > 2) || channels > 8 ||
          (ima && (blockAlign_ - headerBytes) % (4 * channels) != 0)) {
        throw EAuException(kNotSupportedWav + name);
      }
      const std::uint32_t capacity = ima ? (blockAlign_ - headerBytes) * 2 / channels + 1
                                         : (blockAlign_ - headerBytes) * 2 / channels + 2;
      const std::uint32_t stated = fmt.size() >= 20 ? LoadU16(&fmt[18]) : 0;
      // A Microsoft ADPCM block starts with two whole samples: a block of fewer is damaged.
      if (!ima && stated == 1) throw EAuException(kNotSupportedWav + name);
      samplesPerBlock_ = static_cast<std::uint16_t>(stated > 0 ? std::min(stated, capacity) : capacity);
      coefficients_.clear();
      if (!ima) {
        const std::uint32_t count = fmt.size() >= 22 ? LoadU16(&fmt[20]) : 0;
        if (count == 0 || count > 32 || fmt.size() < 22 + 4 * count)
          throw EAuException(kNotSupportedWav + name);
        for (std::uint32_t i = 0; i < count; ++i) {
          coefficients_.push_back({LoadS16(&fmt[22 + 4 * i]), LoadS16(&fmt[24 + 4 * i])});
        }
      }
      dataBytes_ = bytes;
      // What the blocks hold, the last one perhaps cut short; "fact" may only say less.
      const std::uint64_t whole = bytes / blockAlign_;
      const std::uint64_t tail = bytes % blockAlign_;
      std::uint64_t inBlocks = whole * samplesPerBlock_;
      if (tail > headerBytes) {
        inBlocks +=
            std::min<std::uint64_t>(samplesPerBlock_, ima ? (tail - headerBytes) / (4 * channels) * 8 + 1
                                                          : (tail - headerBytes) * 2 / channels + 2);
      } else if (tail == headerBytes && tail > 0) {
        inBlocks += ima ? 1 : 2;
      }
      frames = static_cast<std::int64_t>(
          extra.factFound ? std::min<std::uint64_t>(extra.factSamples, inBlocks) : inBlocks);
      block_.assign(blockAlign_, 0);
      pcm_.assign(static_cast<std::size_t>(samplesPerBlock_) * channels, 0);
      pcmBytes_.assign(pcm_.size() * 2, 0);
      bitsPerSample_.store(16);
    } else {
      throw EAuException(kNotSupportedWav + name);
    }
    source_->Seek(static_cast<std::int64_t>(dataStart_), SeekOrigin::Begin);
    channels_.store(static_cast<std::int32_t>(channels));
    sampleRate_.store(static_cast<std::int32_t>(std::min<std::uint32_t>(info.SampleRate, INT32_MAX)));
    fileFrames_ = frames;
    pendingSkip_ = 0;
    totalSamples_.store(frames);
    size_.store(frames * FrameBytes());
    bufStart_ = 1;
    bufEnd_ = 0;
    valid_.store(true);
    openCount_.store(1);
  } catch (...) {
    image_.reset();
    original_ = nullptr;
    ownStream_.reset();
    source_ = nullptr;
    throw;
  }
}

void TWaveIn::CloseSource() {
  const std::lock_guard lock(OpenLock());
  if (openCount_.load() == 0 && !ownStream_ && !image_) return;
  if (image_) {
    image_.reset();
    source_ = original_;
    original_ = nullptr;
  }
  if (ownStream_) {
    ownStream_.reset();
  } else if (source_ != nullptr) {
    // The caller's stream is rewound so that the next reading starts over.
    try {
      source_->Seek(0, SeekOrigin::Begin);
    } catch (...) {
      // Closing never fails; the next open seeks anyway.
    }
  }
  source_ = nullptr;
  openCount_.store(0);
}

void TWaveIn::SeekSample(std::int64_t sample) {
  const std::lock_guard lock(ReadLock());
  if (source_ == nullptr || sample < 0) return;
  if (ReadsPcm()) {
    const auto frameBytes = static_cast<std::uint64_t>(FrameBytes());
    dataRead_ = std::min(static_cast<std::uint64_t>(sample) * frameBytes, dataBytes_);
    pendingSkip_ = 0;
  } else {
    // ADPCM can only start at a block: decode the one holding the frame and pass over its first ones.
    const std::int64_t target = std::min(sample, fileFrames_);
    const std::int64_t blockIndex = target / samplesPerBlock_;
    dataRead_ = std::min(static_cast<std::uint64_t>(blockIndex) * blockAlign_, dataBytes_);
    framesDecoded_ = blockIndex * samplesPerBlock_;
    pendingSkip_ = target - framesDecoded_;
  }
  source_->Seek(static_cast<std::int64_t>(dataStart_ + dataRead_), SeekOrigin::Begin);
  bufStart_ = 1;
  bufEnd_ = 0;
}

bool TWaveIn::ReadsPcm() const {
  const TWavType kind = kind_.load();
  return kind == TWavType::wtPCM || kind == TWavType::wtACM;
}

const std::uint8_t* TWaveIn::Data() const { return ReadsPcm() ? buffer_.data() : pcmBytes_.data(); }

bool TWaveIn::Refill() {
  const std::int32_t frameBytes = FrameBytes();
  if (source_ == nullptr || frameBytes <= 0) return false;
  bufStart_ = 1;
  bufEnd_ = 0;
  if (ReadsPcm()) {
    const std::uint64_t wanted = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(kBufferSize - kBufferSize % frameBytes), dataBytes_ - dataRead_);
    std::size_t got = 0;
    while (got < wanted) {
      const std::size_t n = source_->Read(buffer_.data() + got, static_cast<std::size_t>(wanted) - got);
      if (n == 0) break;
      got += n;
    }
    dataRead_ += got;
    // Only a file that shrank while open gives a short read; its partial frame is dropped.
    got -= got % static_cast<std::size_t>(frameBytes);
    bufEnd_ = static_cast<std::int32_t>(got);
  } else {
    const std::int32_t frames = DecodeBlock();
    const std::int64_t skip = std::min<std::int64_t>(pendingSkip_, frames);
    pendingSkip_ = 0;
    bufStart_ = 1 + static_cast<std::int32_t>(skip) * frameBytes;
    bufEnd_ = frames * frameBytes;
  }
  // With the buffer empty Position counts every byte delivered, so this keeps to EndSample's range.
  const std::int64_t size = size_.load();
  if (size >= 0) {
    const std::int64_t rangeLeft = std::max<std::int64_t>(0, size - position_.load());
    bufEnd_ = static_cast<std::int32_t>(std::min<std::int64_t>(bufEnd_, bufStart_ - 1 + rangeLeft));
  }
  return bufStart_ <= bufEnd_;
}

std::int32_t TWaveIn::DecodeBlock() {
  if (dataRead_ >= dataBytes_ || framesDecoded_ >= fileFrames_) return 0;
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(blockAlign_, dataBytes_ - dataRead_));
  std::size_t got = 0;
  while (got < wanted) {
    const std::size_t n = source_->Read(block_.data() + got, wanted - got);
    if (n == 0) break;
    got += n;
  }
  dataRead_ += got;
  const auto length = static_cast<std::uint32_t>(got);
  std::int32_t frames = kind_.load() == TWavType::wtDVIADPCM
                            ? DecodeImaBlock(block_.data(), length, pcm_.data())
                            : DecodeMsBlock(block_.data(), length, pcm_.data());
  frames = static_cast<std::int32_t>(std::min<std::int64_t>(frames, fileFrames_ - framesDecoded_));
  framesDecoded_ += frames;
  const auto samples = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_.load());
  for (std::size_t i = 0; i < samples; ++i) StoreU16(&pcmBytes_[2 * i], static_cast<std::uint16_t>(pcm_[i]));
  return frames;
}

std::int32_t TWaveIn::DecodeImaBlock(const std::uint8_t* block, std::uint32_t length, std::int16_t* out) {
  const auto channels = static_cast<std::uint32_t>(channels_.load());
  if (length < 4 * channels) return 0;
  std::array<std::int32_t, 256> predictor{};
  std::array<std::int32_t, 256> index{};
  for (std::uint32_t c = 0; c < channels && c < predictor.size(); ++c) {
    predictor[c] = LoadS16(block + 4 * c);
    index[c] = std::min<std::int32_t>(block[4 * c + 2], 88);
    out[c] = static_cast<std::int16_t>(predictor[c]);
  }
  // After the headers, groups of 4 bytes (8 samples) per channel, channels taking turns.
  const std::uint32_t groups = (length - 4 * channels) / (4 * channels);
  const std::uint32_t frames = std::min<std::uint32_t>(1 + groups * 8, samplesPerBlock_);
  const std::uint8_t* data = block + 4 * channels;
  for (std::uint32_t g = 0; g < groups; ++g) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      for (std::uint32_t b = 0; b < 4; ++b) {
        const std::uint8_t byte = data[(g * channels + c) * 4 + b];
        const std::uint32_t frame = 1 + g * 8 + b * 2;
        if (frame < frames) out[frame * channels + c] = ImaStep(byte & 0x0F, predictor[c], index[c]);
        if (frame + 1 < frames) out[(frame + 1) * channels + c] = ImaStep(byte >> 4, predictor[c], index[c]);
      }
    }
  }
  return static_cast<std::int32_t>(frames);
}

std::int32_t TWaveIn::DecodeMsBlock(const std::uint8_t* block, std::uint32_t length, std::int16_t* out) {
  const auto channels = static_cast<std::uint32_t>(channels_.load());
  if (length < 7 * channels) return 0;
  std::array<std::int32_t, 2> delta{};
  std::array<std::int32_t, 2> sample1{};
  std::array<std::int32_t, 2> sample2{};
  std::array<std::array<std::int16_t, 2>, 2> coefficient{};
  for (std::uint32_t c = 0; c < channels; ++c) {
    const std::uint8_t predictor = block[c];
    if (predictor >= coefficients_.size()) {
      throw EAuException("Corrupt Microsoft ADPCM data in " +
                         (StreamAssigned() ? std::string("(stream)") : FileName()));
    }
    coefficient[c] = coefficients_[predictor];
    delta[c] = LoadS16(block + channels + 2 * c);
    sample1[c] = LoadS16(block + 3 * channels + 2 * c);
    sample2[c] = LoadS16(block + 5 * channels + 2 * c);
    // The older sample comes first.
    out[c] = static_cast<std::int16_t>(sample2[c]);
    out[channels + c] = static_cast<std::int16_t>(sample1[c]);
  }
  const std::uint32_t frames =
      std::min<std::uint32_t>(2 + (length - 7 * channels) * 2 / channels, samplesPerBlock_);
  const std::uint32_t codes = (frames - 2) * channels;
  for (std::uint32_t n = 0; n < codes; ++n) {
    const std::uint8_t byte = block[7 * channels + n / 2];
    // The high nibble comes first.
    const std::int32_t code = (n % 2 == 0) ? byte >> 4 : byte & 0x0F;
    const std::uint32_t c = n % channels;
    const std::int32_t step = delta[c];
    // Damaged data can make the delta grow by up to 3 times a code without end; it stops where the
    // next adaptation cannot overflow, far above anything an encoder's data reaches.
    delta[c] = std::clamp((kMsAdapt[static_cast<std::size_t>(code)] * step) >> 8, 16, kMaxMsDelta);
    const std::int32_t prediction = (sample1[c] * coefficient[c][0] + sample2[c] * coefficient[c][1]) >> 8;
    const std::int32_t signedCode = code - ((code & 8) << 1);
    const std::int16_t value = ClampToInt16(signedCode * step + prediction);
    sample2[c] = sample1[c];
    sample1[c] = value;
    out[(2 + n / channels) * channels + c] = value;
  }
  return static_cast<std::int32_t>(frames);
}

void TWaveIn::ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) {
  ReadDecoded([this] { return Refill(); }, [this] { return Data(); }, buffer, bytes);
}

// ---------------------------------------------------------------------------------------------------
// TWaveOut

TWaveOut::TWaveOut(QObject* owner) : TAuFileOut(owner) {}

TWaveOut::~TWaveOut() { ShutDown(); }

void TWaveOut::SetWavType(TWavType type) {
  if (Busy()) return;
  if (type == TWavType::wtPCM || type == TWavType::wtDVIADPCM) wavType_.store(type);
}

void TWaveOut::SetFileMode(TFileOutputMode mode) { fileMode_.store(mode); }

void TWaveOut::PrepareOutput() {
  inputBegun_ = false;
  headerWritten_ = false;
  lengthUnknown_ = false;
  merolune::Stream* stream = OpenDestination();
  // Appending is not implemented: an existing destination with data is left exactly as it was.
  if (FileMode() == TFileOutputMode::foAppend && stream->Size() > 0) throw EAuException(kCannotAppend);
  TAuInput* input = Input();
  input->BeginRead();
  inputBegun_ = true;
  // Asked after BeginRead, so they describe the PCM the input really delivers.
  const auto channels = static_cast<std::uint32_t>(input->Channels());
  const auto rate = static_cast<std::uint32_t>(input->SampleRate());
  const auto bits = static_cast<std::uint32_t>(input->BitsPerSample());
  const std::int64_t size = input->Size();
  // A predicted length the header's 32-bit sizes cannot hold (an input trusting a damaged source)
  // would be written cut to its low bits; it is treated as unknown instead.
  lengthUnknown_ = size < 0 || size > std::int64_t{kMaxDataLength};
  const auto dataLength = static_cast<std::uint32_t>(lengthUnknown_ ? 0 : size);

  const auto header = MakeWaveHeader(PcmWaveFormat(channels, rate, bits), dataLength + 36, dataLength);
  stream->Write(header.data(), header.size());
  headerWritten_ = true;
}

bool TWaveOut::ProcessBlock(bool abort) {
  if (!Active()) return true;
  if (abort) return false;
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = kBlockBytes;
  Input()->ReadBlock(data, bytes);
  if (bytes <= 0 || data == nullptr) return false;
  Stream()->Write(data, static_cast<std::size_t>(bytes));
  return true;
}

void TWaveOut::FinishOutput() {
  std::exception_ptr failure;
  try {
    merolune::Stream* stream = Stream();
    if (headerWritten_ && lengthUnknown_ && stream != nullptr) {
      const std::uint64_t length = stream->Size();
      PatchU32(*stream, kDataSizeOffset, static_cast<std::uint32_t>(length - kWaveHeaderSize));
      PatchU32(*stream, kRiffSizeOffset, static_cast<std::uint32_t>(length - 8));
      stream->Seek(0, SeekOrigin::End);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  ReleaseDestinationAndInput(inputBegun_, failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace merolune
