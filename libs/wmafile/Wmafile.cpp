// libwmafile.so: WMA to WAV and WAV to WMA over FFmpeg, behind the C entry points of wmafile.h.

#include "wmafile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cerrno>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FfmpegAudio.h"
#include "FfmpegHandles.h"
#include "PendingFile.h"
#include "PendingWavFile.h"

namespace merolune {

namespace {

// The exact number of sample frames that WAV2WMA encoded, at the rate it wrote, stored as an ASF
// attribute. The encoder works in whole codec frames and needs one frame of silence after the audio
// (below), so a decoder delivers up to two frames more than there were; WMA2WAV cuts them off when it
// finds this.
constexpr const char* kSampleCountKey = "Merolune/SampleCount";

// The system error behind the calling thread's current conversion failing, for WMAGetLastError:
// the first errno value met, directly or as an FFmpeg code made from one; 0 when none.
thread_local int lastSystemError = 0;

// Keeps `code` when it carries a system error and none was kept yet; always false, for
// `return Failed(code);` on a failure path.
bool Failed(int code) {
  if (lastSystemError == 0) lastSystemError = SystemErrorOf(code);
  return false;
}

std::optional<std::uint64_t> StoredSampleCount(const AVFormatContext* format) {
  const AVDictionaryEntry* entry = av_dict_get(format->metadata, kSampleCountKey, nullptr, 0);
  if (!entry || !entry->value) return std::nullopt;
  const char* begin = entry->value;
  const char* end = begin + std::strlen(begin);
  std::uint64_t count = 0;
  const auto [stop, error] = std::from_chars(begin, end, count);
  if (error != std::errc() || stop != end) return std::nullopt;
  return count;
}

bool WmaToWav(const std::string& source, const std::string& destination, Progress& progress) {
  if (!progress.Report(0)) return false;
  AudioReader reader;
  if (!reader.Open(source, "asf")) return false;
  const std::optional<std::uint64_t> count = StoredSampleCount(reader.Format());
  PendingWavFile wav;
  if (!wav.Create(destination)) return Failed(-wav.Error());
  Converter stereo(AV_SAMPLE_FMT_S16, 2);
  std::uint64_t delivered = 0;
  const auto write = [&](int frames) {
    if (frames < 0) return false;
    delivered += static_cast<std::uint64_t>(frames);
    std::uint64_t keep = static_cast<std::uint64_t>(frames);
    if (count) keep = std::min(keep, *count - std::min(*count, wav.FramesWritten()));
    return wav.Write(reinterpret_cast<const std::int16_t*>(stereo.Data()[0]), static_cast<std::size_t>(keep)) ||
           Failed(-wav.Error());
  };
  if (!reader.DecodeAll([&](const AVFrame& frame) { return write(stereo.Convert(frame)); }, &progress)) {
    return false;
  }
  if (!write(stereo.Flush())) return false;
  // A file of which nothing decodes (no packet the decoder took, or no sound where there should be
  // some) is not a WMA file we can read, rather than a silent one. Our own file of an empty WAV is
  // the exception: the decoder takes its packets, but they hold only the silence around the audio
  // that the decoder's start trimming removes, and its stored count says 0.
  if (reader.DecodedPackets() == 0) return false;
  if (delivered == 0 && count.value_or(1) != 0) return false;
  const int rate = stereo.SampleRate() > 0 ? stereo.SampleRate() : reader.Decoder()->sample_rate;
  if (rate <= 0) return false;
  if (!progress.Report(1000)) return false;
  return wav.Commit(static_cast<std::uint32_t>(rate)) || Failed(-wav.Error());
}

// Counts the sample frames of a WAV file by decoding it, so the count is right even when the
// header's sizes are not (a file still being written, or a data size of 0 or -1).
std::optional<std::uint64_t> CountFrames(const std::string& source, Progress& progress) {
  AudioReader reader;
  if (!reader.Open(source, "wav")) return std::nullopt;
  std::uint64_t frames = 0;
  const auto count = [&frames](const AVFrame& frame) {
    frames += static_cast<std::uint64_t>(frame.nb_samples);
    return true;
  };
  if (!reader.DecodeAll(count, &progress)) return std::nullopt;
  return frames;
}

// What WAV2WMA writes for a bit rate: the sample rate (0: the source's own) and the channels.
struct WmaProfile {
  std::int32_t Kbps;
  int SampleRate;
  int Channels;
};

// FFmpeg's wmav2 encoder takes no bit rate below 24 kbit/s, and it derives the coding parameters
// (noise coding on or off, where the noise-coded bands start, the coefficient tables) from the bits
// per sample, bit rate / (channels x sample rate). A decoder derives the same parameters from the
// bit rate the file declares. Below 24 kbit/s the encoder is therefore opened at 24 kbit/s, the file
// declares the rate asked for, and the superframes are cut to that rate's size. Each profile below
// has a sample rate and channel count at which 24 kbit/s and every rate from the profile's up to the
// next profile's give the same parameters, so that encoder and decoder agree:
// - Below 32 kHz the coefficient tables do not depend on the bit rate.
// - 11025 Hz: nothing depends on the bit rate.
// - 8000 Hz mono: no noise coding above 0.75 bits per sample, i.e. from 6.001 kbit/s; this is why 5
//   and 6 kbit/s, which WMA encoders put at 8 kHz, are at 11025 Hz here.
// - 16000 Hz: the same noise-coded bands above 0.5 bits per sample (mono from 8.001, stereo from
//   16.001 kbit/s).
// - 22050 Hz mono: the same bands from 15.88 to 25.57 kbit/s.
// Lower rates trade bandwidth and then stereo for fewer artefacts, as WMA encoders' profiles do. From
// 24 kbit/s the source's rate and stereo are kept.
constexpr std::array<WmaProfile, 8> kLowRateProfiles = {{
    {5, 11025, 1},
    {6, 11025, 1},
    {8, 8000, 1},
    {10, 11025, 1},
    {12, 16000, 1},
    {16, 16000, 1},
    {20, 16000, 2},
    {22, 22050, 1},
}};
constexpr std::int32_t kEncoderMinimumKbps = 24;

// The profile of the highest listed rate at or below `kbps`; none below the lowest.
std::optional<WmaProfile> ProfileFor(std::int32_t kbps, int sourceRate) {
  if (kbps >= kEncoderMinimumKbps) return WmaProfile{kbps, sourceRate, 2};
  for (auto profile = kLowRateProfiles.rbegin(); profile != kLowRateProfiles.rend(); ++profile) {
    if (profile->Kbps <= kbps) return WmaProfile{kbps, profile->SampleRate, profile->Channels};
  }
  return std::nullopt;
}

// The length of `frames` source frames at `to` Hz: frames x to / from, rounded to nearest (halves up).
std::uint64_t ResampledLength(std::uint64_t frames, int from, int to) {
  if (from == to) return frames;
  const auto in = static_cast<std::uint64_t>(from);
  return (frames * static_cast<std::uint64_t>(to) + in / 2) / in;
}

// FFmpeg's encoder writes every superframe as one packet, and the ASF muxer puts each packet into a
// payload of its own with a 17-byte header: at 24 kbit/s (139-byte superframes) that adds 12 %, at 5
// kbit/s (29 bytes) 59 %. Whole superframes put together into one payload of at least this size cost
// a few percent at most. A decoder takes such a payload one block (the stream's block size, one
// superframe) after the other; FFmpeg's notes once, at warning level, that a packet held several.
constexpr int kMinPayloadBytes = 1024;

int SuperframesPerPayload(int superframeBytes) {
  return std::max(1, (kMinPayloadBytes + superframeBytes - 1) / superframeBytes);
}

// FFmpeg's ASF muxer never splits an audio payload between two ASF data packets, so with its default
// data packet size of 3200 bytes whatever is left after the last whole payload is padding: at
// 192 kbit/s two superframes of 1114 bytes fill a packet and the file grows by 45 %, at 320 kbit/s
// by 70 %. A data packet that holds a whole number of payloads with their headers (17 bytes each, at
// most 63 to a packet) and the packet's own header (at most 32 bytes) keeps the file at the bit rate
// asked for. Data packets all have the same size, so the last one is padded; holding no more than
// about a second of audio keeps that small at low bit rates.
std::int64_t DataPacketSize(int payloadBytes, std::int64_t bitRate) {
  constexpr int kPayloadHeader = 17;
  constexpr int kMaxPayloads = 63;
  constexpr int kPacketHeader = 32;
  constexpr int kDefaultPacket = 3200;
  constexpr int kMaxPacket = 65536;
  const int perPayload = payloadBytes + kPayloadHeader;
  const int fit = (kDefaultPacket - kPacketHeader) / perPayload;
  const auto second = static_cast<int>(std::min<std::int64_t>(bitRate / 8 / perPayload, kMaxPayloads));
  const int count = std::clamp(std::min(fit, second), 1, kMaxPayloads);
  return std::min(kMaxPacket, count * perPayload + kPacketHeader);
}

// Feeds the wmav2 encoder whole frames from a FIFO and writes its superframes to the ASF file.
class WmaEncoder {
 public:
  // `frames` is the exact length of the audio at the profile's rate: Push() takes no more, Finish()
  // completes it with silence.
  bool Open(const WmaProfile& profile, std::uint64_t frames, const std::string& path) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    if (!encoder) return false;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr) < 0 || !raw) return false;
    output_.reset(raw);

    codec_.reset(avcodec_alloc_context3(encoder));
    if (!codec_) return false;
    const std::int64_t bitRate = std::int64_t{profile.Kbps} * 1000;
    const std::int64_t openRate = std::max<std::int64_t>(bitRate, std::int64_t{kEncoderMinimumKbps} * 1000);
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = profile.SampleRate;
    av_channel_layout_default(&codec_->ch_layout, profile.Channels);
    codec_->bit_rate = openRate;
    codec_->time_base = AVRational{1, profile.SampleRate};
    if (output_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Refuses rates above 48 kHz.
    if (avcodec_open2(codec_.get(), encoder, nullptr) < 0 || codec_->frame_size <= 0) return false;
    if (openRate != bitRate) {
      // The encoder sizes each superframe by the context's block size, so the smaller size takes
      // effect from the first one; the file declares the rate it holds (see kLowRateProfiles).
      const std::int64_t bitsPerSuperframe = bitRate * codec_->frame_size;
      const std::int64_t rate = profile.SampleRate;
      codec_->block_align = static_cast<int>((bitsPerSuperframe + rate * 4) / (rate * 8));
      codec_->bit_rate = bitRate;
    }
    if (codec_->block_align <= 0) return false;
    perPayload_ = SuperframesPerPayload(codec_->block_align);

    stream_ = avformat_new_stream(output_.get(), nullptr);
    if (!stream_ || avcodec_parameters_from_context(stream_->codecpar, codec_.get()) < 0) return false;
    stream_->time_base = codec_->time_base;
    av_dict_set(&output_->metadata, kSampleCountKey, std::to_string(frames).c_str(), 0);
    av_opt_set_int(output_->priv_data, "packet_size",
                   DataPacketSize(perPayload_ * codec_->block_align, bitRate), 0);

    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, profile.Channels, codec_->frame_size * 2));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    payload_.reset(av_packet_alloc());
    if (!fifo_ || !frame_ || !packet_ || !payload_) return false;
    remaining_ = frames;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avio_open2(&output_->pb, FileUrl(path).c_str(), AVIO_FLAG_WRITE, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return Failed(opened);
    if (const int written = avformat_write_header(output_.get(), nullptr); written < 0) return Failed(written);

    // FFmpeg's wmav2 decoder asks for the first 2 * frame_size samples it decodes to be skipped, but
    // FFmpeg's encoder delays the audio by only one frame (its initial_padding), so a plain round trip
    // loses the first frame of the audio. One frame of silence ahead of the audio makes up the
    // difference: FFmpeg-based readers, WMA2WAV among them, start exactly at the first sample.
    return PushSilence(codec_->frame_size);
  }

  // Takes up to the rest of the length given to Open(); planar samples, one plane per channel.
  bool Push(std::uint8_t* const* planes, int frames) {
    const int take =
        static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(frames), remaining_));
    void* data[2] = {planes[0], planes[1]};
    if (av_audio_fifo_write(fifo_.get(), data, take) < take) return false;
    remaining_ -= static_cast<std::uint64_t>(take);
    return EncodeWholeFrames();
  }

  // Makes up the length with silence where the resampler delivered a frame less, completes the last
  // frame with silence and adds one more silent frame: a frame's samples are whole only after the
  // next frame's overlap has been added, and the encoder has no flush of its own. Then writes the
  // end of the file.
  bool Finish() {
    while (remaining_ > 0) {
      const auto chunk = std::min<std::uint64_t>(remaining_, kSilenceChunk);
      if (!PushSilence(static_cast<int>(chunk))) return false;
      remaining_ -= chunk;
    }
    const int size = codec_->frame_size;
    const int partial = av_audio_fifo_size(fifo_.get());
    if (!PushSilence((size - partial % size) % size + size)) return false;
    if (avcodec_send_frame(codec_.get(), nullptr) < 0 || !WritePackets() || !WritePayload()) return false;
    if (const int trailer = av_write_trailer(output_.get()); trailer < 0) return Failed(trailer);
    // Closing flushes the buffered end of the file; an error there is a failed file.
    const int closed = avio_closep(&output_->pb);
    return closed >= 0 || Failed(closed);
  }

 private:
  static constexpr std::uint64_t kSilenceChunk = 65536;

  bool PushSilence(int frames) {
    std::vector<float> silence(static_cast<std::size_t>(frames), 0.0f);
    void* data[2] = {silence.data(), silence.data()};
    if (av_audio_fifo_write(fifo_.get(), data, frames) < frames) return false;
    return EncodeWholeFrames();
  }

  bool EncodeWholeFrames() {
    const int size = codec_->frame_size;
    while (av_audio_fifo_size(fifo_.get()) >= size) {
      av_frame_unref(frame_.get());
      frame_->nb_samples = size;
      frame_->format = AV_SAMPLE_FMT_FLTP;
      frame_->sample_rate = codec_->sample_rate;
      if (av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout) < 0) return false;
      if (av_frame_get_buffer(frame_.get(), 0) < 0) return false;
      if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), size) < size) return false;
      frame_->pts = pts_;
      pts_ += size;
      // Fails when a frame cannot be coded within the bit rate even at the coarsest quantisation.
      if (avcodec_send_frame(codec_.get(), frame_.get()) < 0 || !WritePackets()) return false;
    }
    return true;
  }

  // Collects the encoder's superframes into payloads of perPayload_ superframes.
  bool WritePackets() {
    for (;;) {
      const int received = avcodec_receive_packet(codec_.get(), packet_.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
      if (received < 0) return false;
      if (collected_ == 0) {
        av_packet_move_ref(payload_.get(), packet_.get());
      } else {
        const int at = payload_->size;
        if (av_grow_packet(payload_.get(), packet_->size) < 0) return false;
        std::memcpy(payload_->data + at, packet_->data, static_cast<std::size_t>(packet_->size));
        payload_->duration += packet_->duration;
        av_packet_unref(packet_.get());
      }
      if (++collected_ == perPayload_ && !WritePayload()) return false;
    }
  }

  bool WritePayload() {
    if (collected_ == 0) return true;
    collected_ = 0;
    av_packet_rescale_ts(payload_.get(), codec_->time_base, stream_->time_base);
    payload_->stream_index = stream_->index;
    const int written = av_interleaved_write_frame(output_.get(), payload_.get());
    return written >= 0 || Failed(written);
  }

  OutputFile output_;
  Codec codec_;
  AVStream* stream_ = nullptr;
  Fifo fifo_;
  Frame frame_;
  Packet packet_;
  Packet payload_;
  int perPayload_ = 1;
  int collected_ = 0;
  std::uint64_t remaining_ = 0;
  std::int64_t pts_ = 0;
};

// The bit rates the program offers run from 5 to 320 kbit/s; anything far beyond is a mistake.
constexpr std::int32_t kMaxKbps = 10000;
// The share of the progress range for counting the source's frames, a plain read of the file that
// takes a small part of the time that encoding does.
constexpr int kCountingShare = 20;

bool WavToWma(const std::string& source, const std::string& destination, std::int32_t kbps,
              Progress& progress) {
  if (kbps <= 0 || kbps > kMaxKbps) return false;
  if (!progress.Report(0)) return false;
  progress.SetStage(0, kCountingShare);
  const std::optional<std::uint64_t> frames = CountFrames(source, progress);
  if (!frames) return false;

  AudioReader reader;
  if (!reader.Open(source, "wav")) return false;
  const int rate = reader.Decoder()->sample_rate;
  if (rate <= 0) return false;
  const std::optional<WmaProfile> profile = ProfileFor(kbps, rate);
  if (!profile) return false;

  PendingFile output;
  // FFmpeg writes the file by its name.
  if (!output.Create(destination) || !output.Close()) return Failed(-errno);
  {
    WmaEncoder encoder;
    if (!encoder.Open(*profile, ResampledLength(*frames, rate, profile->SampleRate), output.Path())) return false;
    Converter convert(AV_SAMPLE_FMT_FLTP, profile->Channels, profile->SampleRate);
    progress.SetStage(kCountingShare, 1000);
    const bool encoded = reader.DecodeAll(
        [&](const AVFrame& frame) {
          const int converted = convert.Convert(frame);
          return converted >= 0 && encoder.Push(convert.Data(), converted);
        },
        &progress);
    if (!encoded || reader.DamagedPackets() > 0) return false;
    const int rest = convert.Flush();
    if (rest < 0 || !encoder.Push(convert.Data(), rest) || !encoder.Finish()) return false;
  }
  if (!progress.Report(1000)) return false;
  if (!output.Commit()) return Failed(-errno);
  return true;
}

}  // namespace

}  // namespace merolune

// The entry points: nothing may escape into the caller, which has no way to receive an error.

extern "C" MEROLUNE_WMAFILE_API void WMA2WAVEx(const char* source, const char* destination,
                                               wmafile_progress progress, void* user) {
  merolune::lastSystemError = 0;
  try {
    merolune::SilenceFfmpegLog();
    merolune::Progress reporter(progress, user);
    if (source && destination) merolune::WmaToWav(source, destination, reporter);
  } catch (...) {
  }
}

extern "C" MEROLUNE_WMAFILE_API void WAV2WMAEx(const char* source, const char* destination, int32_t kbps,
                                               wmafile_progress progress, void* user) {
  merolune::lastSystemError = 0;
  try {
    merolune::SilenceFfmpegLog();
    merolune::Progress reporter(progress, user);
    if (source && destination) merolune::WavToWma(source, destination, kbps, reporter);
  } catch (...) {
  }
}

extern "C" MEROLUNE_WMAFILE_API void WMA2WAV(const char* source, const char* destination) {
  WMA2WAVEx(source, destination, nullptr, nullptr);
}

extern "C" MEROLUNE_WMAFILE_API void WAV2WMA(const char* source, const char* destination, int32_t kbps) {
  WAV2WMAEx(source, destination, kbps, nullptr, nullptr);
}

extern "C" MEROLUNE_WMAFILE_API int32_t WMAGetLastError(void) { return merolune::lastSystemError; }

extern "C" MEROLUNE_WMAFILE_API int32_t WAV2WMASampleRate(int32_t kbps, int32_t sourceRate) {
  if (kbps <= 0 || kbps > merolune::kMaxKbps || sourceRate <= 0) return 0;
  const std::optional<merolune::WmaProfile> profile = merolune::ProfileFor(kbps, sourceRate);
  return profile ? profile->SampleRate : 0;
}
