// The MP3 pipeline component: TMP3Out encodes the PCM of its input with LAME into an MP3 file.

#include "ACS_LAME.h"

#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <exception>
#include <string>
#include <vector>

#include "LameLib.h"
#include "LittleEndian.h"

namespace merolune {

namespace {

constexpr char kLameInitFailed[] = "LAME init failed";
// Followed by LAME's code in parentheses.
constexpr char kLameEncodingFailed[] = "LAME encoding failed ";
// Followed by the count of the source.
constexpr char kMp3TooManyChannels[] = "MP3 encoding takes one or two channels; the source has ";
// Followed by the width of the source.
constexpr char kMp3SampleWidth[] = "MP3 encoding takes 8, 16, 24 or 32-bit samples; the source has ";

// Bytes asked from the input per block.
constexpr std::int32_t kBlockBytes = 16384;
// LAME's own bound for one call's output: 1.25 bytes per sample frame plus 7200 (also what a flush needs).
constexpr double kMp3BytesPerFrame = 1.25;
constexpr std::size_t kMp3Slack = 7200;

constexpr std::array<std::int32_t, 18> kKbps = {8,  16,  24,  32,  40,  48,  56,  64,  80,
                                                96, 112, 128, 144, 160, 192, 224, 256, 320};

void DropMessage(const char*, va_list) {}

std::int32_t OutputRate(TMP3SampleRate rate) {
  switch (rate) {
    case TMP3SampleRate::sr32kHz:
      return 32000;
    // MPEG audio has no 41000 Hz; the setting stands for CD's rate.
    case TMP3SampleRate::sr41kHz:
      return 44100;
    case TMP3SampleRate::sr48kHz:
      return 48000;
    case TMP3SampleRate::srDefault:
      break;
  }
  return 0;
}

// One little-endian PCM sample of `bytes` bytes as 16 bits: 8-bit samples are unsigned around 128,
// wider ones keep their top two bytes (the lost bits lie far below what MP3 keeps).
std::int16_t SampleAt(const std::uint8_t* at, std::int32_t bytes) {
  if (bytes == 1) return static_cast<std::int16_t>((at[0] - 128) * 256);
  return LoadS16(at + bytes - 2);
}

// `frames` frames of `channels` (1 or 2) samples of `bytes` bytes as interleaved 16-bit stereo; a single
// channel goes to both sides, so LAME's mono down-mix gives it back unchanged.
void ToStereo16(const std::uint8_t* in, std::int32_t frames, std::int32_t channels, std::int32_t bytes,
                short* out) {
  for (std::int32_t i = 0; i < frames; ++i) {
    const std::int16_t left = SampleAt(in, bytes);
    in += bytes;
    std::int16_t right = left;
    if (channels == 2) {
      right = SampleAt(in, bytes);
      in += bytes;
    }
    out[2 * i] = left;
    out[2 * i + 1] = right;
  }
}

// ID3v1 text is Latin-1; characters outside it become '?'.
std::string Latin1(const std::string& utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())).toLatin1().toStdString();
}

// Year and track 0 mean not set: LAME would write a tag for "0" (and refuses track 0 while doing so).
std::string NumberText(std::int32_t value) { return value == 0 ? std::string() : std::to_string(value); }

}  // namespace

std::int32_t KbpsOf(TMP3BitRate bitRate) { return kKbps.at(static_cast<std::size_t>(bitRate)); }

std::optional<TMP3BitRate> BitRateForKbps(std::int32_t kbps) {
  const auto found = std::find(kKbps.begin(), kKbps.end(), kbps);
  if (found == kKbps.end()) return std::nullopt;
  return static_cast<TMP3BitRate>(found - kKbps.begin());
}

struct TMP3Out::Encoder {
  explicit Encoder(const LameLib::EntryPoints& functions) : api(functions), handle(functions.lame_init()) {}
  ~Encoder() {
    if (handle != nullptr) api.lame_close(handle);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  const LameLib::EntryPoints& api;
  lame_global_flags* handle;
  bool ready = false;  // lame_init_params accepted the settings
  std::int32_t channels = 0;
  std::int32_t sampleBytes = 0;
  std::int32_t chunkFrames = 0;  // frames per LAME call, so that its output fits into mp3
  // Where the first frame starts: LAME leaves it empty for the Info tag that the end fills in.
  std::uint64_t firstFrame = 0;
  std::vector<short> pcm;  // one block as 16-bit stereo
  std::vector<unsigned char> mp3;
};

TMP3Out::TMP3Out(QObject* owner) : TAuTaggedFileOut(owner), library_(std::make_unique<const LameLib>()) {
  library_->Require();
}

TMP3Out::~TMP3Out() { ShutDown(); }

void TMP3Out::PrepareOutput() {
  encoder_.reset();
  merolune::Stream* stream = OpenDestinationAndInput(inputBegun_);
  TAuInput* input = Input();
  const std::int32_t channels = input->Channels();
  const std::int32_t bits = input->BitsPerSample();
  const std::int32_t rate = input->SampleRate();
  // LAME accepts a rate of 0 without complaint, though nothing can be encoded at it.
  if (rate <= 0) throw Exception(kLameInitFailed);
  if (channels != 1 && channels != 2) throw EAuException(kMp3TooManyChannels + std::to_string(channels));
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    throw EAuException(kMp3SampleWidth + std::to_string(bits) + " bits");
  }

  encoder_ = std::make_unique<Encoder>(library_->Api());
  Encoder& e = *encoder_;
  if (e.handle == nullptr) throw Exception(kLameInitFailed);
  const LameLib::EntryPoints& api = e.api;
  lame_global_flags* h = e.handle;
  e.channels = channels;
  e.sampleBytes = bits / 8;
  const std::int32_t frameBytes = channels * e.sampleBytes;

  // LAME prints its notes and warnings on stderr unless told where else to put them; the user's
  // terminal is no place for them.
  api.lame_set_errorf(h, DropMessage);
  api.lame_set_debugf(h, DropMessage);
  api.lame_set_msgf(h, DropMessage);
  const std::int64_t size = input->Size();
  api.lame_set_num_samples(h, size > 0 ? static_cast<unsigned long>(size / frameBytes) : 0UL);
  api.lame_set_in_samplerate(h, rate);
  api.lame_set_num_channels(h, 2);
  api.lame_set_out_samplerate(h, rate >= 41000 ? OutputRate(sampleRate_) : 32000);
  api.lame_set_mode(h, channels == 1 ? MONO : static_cast<MPEG_mode>(mode_));
  api.lame_set_copyright(h, copyright_ ? 1 : 0);
  api.lame_set_original(h, original_ ? 1 : 0);
  api.lame_set_error_protection(h, crc_ ? 1 : 0);
  if (enableVBR_) {
    api.lame_set_bWriteVbrTag(h, writeVBRHeader_ ? 1 : 0);
    api.lame_set_VBR(h, vbr_rh);
    api.lame_set_VBR_q(h, static_cast<int>(vbrQuality_));
    api.lame_set_VBR_min_bitrate_kbps(h, vbrMinBitrate_);
    api.lame_set_VBR_max_bitrate_kbps(h, vbrMaxBitrate_);
  } else {
    // LAME's default, stated because CompleteStream relies on it: the first frame is kept for the Info
    // tag, which carries the encoder delay and padding that gapless decoders remove.
    api.lame_set_bWriteVbrTag(h, 1);
    api.lame_set_brate(h, KbpsOf(bitRate_));
    api.lame_set_quality(h, static_cast<int>(quality_));
  }
  if (api.lame_init_params(h) < 0) throw Exception(kLameInitFailed);
  e.ready = true;
  writtenSampleRate_.store(api.lame_get_out_samplerate(h));

  // A block holds up to blockFrames frames. When LAME resamples upwards (an 8000 Hz source becomes
  // 32000 Hz) one call yields frames for several times as many samples, so the block goes to LAME in
  // parts small enough for the output buffer, which thereby stays of one modest size at any ratio.
  const std::int32_t blockFrames = kBlockBytes / frameBytes;
  const double upsampling =
      std::max(1.0, static_cast<double>(api.lame_get_out_samplerate(h)) / static_cast<double>(rate));
  e.chunkFrames = std::max<std::int32_t>(1, static_cast<std::int32_t>(blockFrames / upsampling));
  e.pcm.assign(static_cast<std::size_t>(blockFrames) * 2, 0);
  e.mp3.assign(
      static_cast<std::size_t>(std::ceil(e.chunkFrames * upsampling * kMp3BytesPerFrame)) + kMp3Slack, 0);
  e.firstFrame = stream->Position();
}

bool TMP3Out::ProcessBlock(bool abort) {
  if (!Active()) return true;
  if (abort) return false;
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = kBlockBytes;
  Input()->ReadBlock(data, bytes);
  if (bytes <= 0 || data == nullptr) return false;
  Encoder& e = *encoder_;
  const std::int32_t frames = bytes / (e.channels * e.sampleBytes);
  ToStereo16(data, frames, e.channels, e.sampleBytes, e.pcm.data());
  for (std::int32_t done = 0; done < frames; done += e.chunkFrames) {
    const std::int32_t count = std::min(e.chunkFrames, frames - done);
    const int written = e.api.lame_encode_buffer_interleaved(e.handle, e.pcm.data() + 2 * done, count,
                                                             e.mp3.data(), static_cast<int>(e.mp3.size()));
    if (written < 0) throw EAuException(kLameEncodingFailed + ("(" + std::to_string(written) + ")"));
    if (written > 0) Stream()->Write(e.mp3.data(), static_cast<std::size_t>(written));
  }
  return true;
}

void TMP3Out::CompleteStream() {
  Encoder& e = *encoder_;
  const LameLib::EntryPoints& api = e.api;
  lame_global_flags* h = e.handle;
  merolune::Stream& stream = *Stream();

  // Only the ID3v1 tag can still be written at the end; LAME appends it at the flush when a field is set.
  const TId3v1Tags& tags = Id3v1Tags();
  api.id3tag_init(h);
  api.id3tag_set_title(h, Latin1(tags.Title).c_str());
  api.id3tag_set_artist(h, Latin1(tags.Artist).c_str());
  api.id3tag_set_album(h, Latin1(tags.Album).c_str());
  api.id3tag_set_year(h, NumberText(tags.Year).c_str());
  api.id3tag_set_track(h, NumberText(tags.Track).c_str());
  api.id3tag_set_comment(h, Latin1(tags.Comment).c_str());
  api.id3tag_set_genre(h, Latin1(tags.Genre).c_str());

  const int flushed = api.lame_encode_flush(h, e.mp3.data(), static_cast<int>(e.mp3.size()));
  if (flushed < 0) throw EAuException(kLameEncodingFailed + ("(" + std::to_string(flushed) + ")"));
  if (flushed > 0) stream.Write(e.mp3.data(), static_cast<std::size_t>(flushed));

  // 0 when LAME kept no frame for the tag (VBR without header, or frames too small to hold it).
  const std::size_t tag = api.lame_get_lametag_frame(h, e.mp3.data(), e.mp3.size());
  if (tag > 0 && tag <= e.mp3.size()) {
    const std::uint64_t end = stream.Position();
    stream.Seek(static_cast<std::int64_t>(e.firstFrame), SeekOrigin::Begin);
    stream.Write(e.mp3.data(), tag);
    stream.Seek(static_cast<std::int64_t>(end), SeekOrigin::Begin);
  }
}

void TMP3Out::FinishOutput() {
  std::exception_ptr failure;
  const auto attempt = [&failure](auto&& step) {
    try {
      step();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  if (encoder_ && encoder_->ready) attempt([this] { CompleteStream(); });
  encoder_.reset();
  ReleaseDestinationAndInput(inputBegun_, failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace merolune
