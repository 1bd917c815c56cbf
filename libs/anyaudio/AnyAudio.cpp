// libanyaudio.so: the first audio stream of any file FFmpeg's libraries read, to a 16-bit stereo WAV.

#include "anyaudio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Dither16.h"
#include "FfmpegAudio.h"
#include "FfmpegHandles.h"
#include "PendingWavFile.h"
#include "ResultText.h"

namespace merolune {

namespace {

// The demuxers a file may be read with, chosen by probing its content. Audio containers and the
// common video containers (whose first audio stream is used); playlists, concatenation lists, image
// sequences and network formats are left out, as they make FFmpeg open other files.
constexpr const char* kDemuxers =
    "mov,mp4,m4a,3gp,3g2,mj2,aac,ogg,matroska,webm,wv,aiff,ac3,eac3,caf,wav,w64,flac,mp3,asf,ape,tta,"
    "dts,truehd,mlp,au,mpc,mpc8,shn,tak,dsf,avi,mpeg,mpegts,flv,amr,xwma,voc,rm";

// One decoded frame's samples, any of FFmpeg's sample layouts, as interleaved 16-bit stereo.
class Narrowing {
 public:
  // Converts `frame` (two channels) into Samples(); false for a layout that cannot occur in audio.
  bool Convert(const AVFrame& frame) {
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    const std::size_t frames = static_cast<std::size_t>(frame.nb_samples);
    samples_.resize(2 * frames);
    for (int channel = 0; channel < 2; ++channel) {
      const std::uint8_t* base = planar ? frame.extended_data[channel] : frame.extended_data[0];
      const std::size_t first = planar ? 0 : static_cast<std::size_t>(channel);
      const std::size_t stride = planar ? 1 : 2;
      std::int16_t* out = samples_.data() + channel;
      for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t at = first + i * stride;
        std::int16_t value = 0;
        switch (packed) {
          case AV_SAMPLE_FMT_U8:
            value = static_cast<std::int16_t>((base[at] - 128) * 256);
            break;
          case AV_SAMPLE_FMT_S16:
            value = reinterpret_cast<const std::int16_t*>(base)[at];
            break;
          case AV_SAMPLE_FMT_S32:
            value = dither_.FromInt32(reinterpret_cast<const std::int32_t*>(base)[at]);
            break;
          case AV_SAMPLE_FMT_S64:
            value = dither_.FromInt32(static_cast<std::int32_t>(reinterpret_cast<const std::int64_t*>(base)[at] >> 32));
            break;
          case AV_SAMPLE_FMT_FLT:
            value = dither_.FromFloat(reinterpret_cast<const float*>(base)[at]);
            break;
          case AV_SAMPLE_FMT_DBL:
            value = dither_.FromFloat(reinterpret_cast<const double*>(base)[at]);
            break;
          default:
            return false;
        }
        out[2 * i] = value;
      }
    }
    return true;
  }
  const std::int16_t* Samples() const { return samples_.data(); }
  std::uint64_t Overs() const { return dither_.Overs(); }

 private:
  std::vector<std::int16_t> samples_;
  Dither16 dither_;
};

// The decoding of one file; each step returns the status to give back, ANYAUDIO_OK to go on.
class Decoding {
 public:
  Decoding(anyaudio_result& result, Progress& progress) : result_(result), progress_(progress) {}

  int Open(const std::string& source) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kDemuxers, 0);
    AVFormatContext* raw = nullptr;
    const int opened = avformat_open_input(&raw, FileUrl(source).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened == AVERROR(ENOENT) || opened == AVERROR(EACCES) || opened == AVERROR(EISDIR)) {
      result_.system_error = -opened;
      return Damaged("cannot open the file: " + ErrorText(opened));
    }
    if (opened < 0) {
      // A file whose kind is plain from its first bytes but that cannot be opened as one (an MP4 cut
      // before its index) is damaged rather than of an unknown kind.
      const std::string kind = ProbedKind(source);
      if (kind.empty()) return ANYAUDIO_UNRECOGNISED;
      CopyText(result_.container, kind);
      return Damaged("the " + kind + " file cannot be read: " + ErrorText(opened));
    }
    input_.reset(raw);
    CopyText(result_.container, input_->iformat->name);
    if (avformat_find_stream_info(input_.get(), nullptr) < 0) return Damaged("no stream could be read");
    for (unsigned i = 0; i < input_->nb_streams; ++i) {
      if (input_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        stream_ = static_cast<int>(i);
        break;
      }
    }
    if (stream_ < 0) return ANYAUDIO_NO_AUDIO;
    const AVStream* stream = input_->streams[stream_];
    CopyText(result_.codec, avcodec_get_name(stream->codecpar->codec_id));
    result_.channels = stream->codecpar->ch_layout.nb_channels;
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) return ANYAUDIO_NO_DECODER;
    codec_.reset(avcodec_alloc_context3(decoder));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), stream->codecpar) < 0) return ANYAUDIO_NO_DECODER;
    codec_->pkt_timebase = stream->time_base;
    // Damage is an error, as the coding can tell it (checksums, impossible values), not a click.
    codec_->err_recognition = AV_EF_CRCCHECK | AV_EF_EXPLODE;
    if (avcodec_open2(codec_.get(), decoder, nullptr) < 0) return ANYAUDIO_NO_DECODER;
    result_.channels = codec_->ch_layout.nb_channels;
    if (result_.channels != 2) return ANYAUDIO_CHANNELS;
    // An MP4 or QuickTime file states the exact length in its edit list (the demuxer's duration),
    // and the decoder's last frame runs past it by the encoder's padding.
    if (std::strcmp(input_->iformat->name, "mov,mp4,m4a,3gp,3g2,mj2") == 0 && stream->duration > 0)
      statedLength_ = stream->duration;
    const auto format = static_cast<AVSampleFormat>(codec_->sample_fmt);
    result_.is_float = format == AV_SAMPLE_FMT_FLT || format == AV_SAMPLE_FMT_FLTP ||
                       format == AV_SAMPLE_FMT_DBL || format == AV_SAMPLE_FMT_DBLP;
    result_.source_bits = codec_->bits_per_raw_sample > 0 && !result_.is_float
                              ? codec_->bits_per_raw_sample
                              : av_get_bytes_per_sample(format) * 8;
    return ANYAUDIO_OK;
  }

  int Run(PendingWavFile& wav) {
    Packet packet(av_packet_alloc());
    Frame frame(av_frame_alloc());
    if (!packet || !frame) return Damaged("out of memory");
    for (;;) {
      if (progress_.Due() && !progress_.ReportPart(avio_tell(input_->pb), avio_size(input_->pb))) {
        return ANYAUDIO_STOPPED;
      }
      const int read = av_read_frame(input_.get(), packet.get());
      if (read == AVERROR_EOF) break;
      if (read < 0) return Damaged("reading failed: " + ErrorText(read));
      if (packet->stream_index != stream_) {
        av_packet_unref(packet.get());
        continue;
      }
      const bool corrupt = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0;
      const int sent = avcodec_send_packet(codec_.get(), packet.get());
      av_packet_unref(packet.get());
      if (corrupt) return Damaged("a damaged packet at " + Position());
      if (sent < 0) return Damaged("decoding failed at " + Position() + ": " + ErrorText(sent));
      if (const int status = Drain(frame.get(), wav); status != ANYAUDIO_OK) return status;
    }
    if (input_->pb && input_->pb->error < 0) return Damaged("reading failed: " + ErrorText(input_->pb->error));
    const int flushed = avcodec_send_packet(codec_.get(), nullptr);
    if (flushed < 0) return Damaged("decoding failed at the end: " + ErrorText(flushed));
    if (const int status = Drain(frame.get(), wav); status != ANYAUDIO_OK) return status;
    if (result_.frames == 0) return Damaged("no audio could be decoded");
    return CheckLength();
  }

  int SampleRate() const { return rate_; }

  // Ogg's length comes from its last page, so a file cut short looks whole to the demuxer; its last
  // page must be complete. (The end-of-stream flag is not asked for: recordings stopped midway lack it.)
  int CheckOggEnd(const std::string& source) {
    if (std::strcmp(input_->iformat->name, "ogg") != 0) return ANYAUDIO_OK;
    std::FILE* file = std::fopen(source.c_str(), "rb");
    if (!file) return ANYAUDIO_OK;
    std::vector<std::uint8_t> tail(kOggTail);
    long size = 0;
    std::size_t got = 0;
    if (std::fseek(file, 0, SEEK_END) == 0 && (size = std::ftell(file)) > 0) {
      const long from = std::max(0L, size - static_cast<long>(kOggTail));
      if (std::fseek(file, from, SEEK_SET) == 0) got = std::fread(tail.data(), 1, tail.size(), file);
    }
    std::fclose(file);
    tail.resize(got);
    for (std::size_t at = tail.size() >= 27 ? tail.size() - 27 + 1 : 0; at-- > 0;) {
      if (std::memcmp(&tail[at], "OggS", 4) != 0) continue;
      const std::size_t segments = tail[at + 26];
      std::size_t end = at + 27 + segments;
      if (end > tail.size()) break;
      for (std::size_t i = 0; i < segments; ++i) end += tail[at + 27 + i];
      if (end == tail.size()) return ANYAUDIO_OK;
      break;
    }
    return Damaged("the Ogg file ends within its last page (cut short)");
  }

 private:
  int Damaged(const std::string& detail) {
    CopyText(result_.detail, detail);
    return ANYAUDIO_DAMAGED;
  }

  static constexpr std::size_t kOggTail = 65536 + 512;  // a whole page at most

  // The demuxer's name for what the first bytes of `source` look like among the accepted ones; empty
  // when nothing matches well.
  static std::string ProbedKind(const std::string& source) {
    std::FILE* file = std::fopen(source.c_str(), "rb");
    if (!file) return {};
    std::vector<std::uint8_t> head(4096 + AVPROBE_PADDING_SIZE, 0);
    const std::size_t got = std::fread(head.data(), 1, 4096, file);
    std::fclose(file);
    AVProbeData probe{};
    probe.filename = "";
    probe.buf = head.data();
    probe.buf_size = static_cast<int>(got);
    int score = 0;
    const AVInputFormat* format = av_probe_input_format3(&probe, 1, &score);
    if (!format || score < AVPROBE_SCORE_MAX / 4 || !av_match_list(format->name, kDemuxers, ',')) return {};
    return format->name;
  }

  std::string Position() const {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", rate_ > 0 ? static_cast<double>(result_.frames) / rate_ : 0.0);
    return text;
  }

  int Drain(AVFrame* frame, PendingWavFile& wav) {
    for (;;) {
      const int received = avcodec_receive_frame(codec_.get(), frame);
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return ANYAUDIO_OK;
      if (received < 0) return Damaged("decoding failed at " + Position() + ": " + ErrorText(received));
      const int status = Write(*frame, wav);
      av_frame_unref(frame);
      if (status != ANYAUDIO_OK) return status;
    }
  }

  int Write(const AVFrame& frame, PendingWavFile& wav) {
    if (frame.ch_layout.nb_channels != 2) {
      result_.channels = frame.ch_layout.nb_channels;
      return ANYAUDIO_CHANNELS;
    }
    if (rate_ == 0) {
      rate_ = frame.sample_rate;
      // In frames of what the decoder gives (HE-AAC doubles the rate the container may state).
      if (statedLength_ > 0 && rate_ > 0) {
        const AVRational frameTime{1, rate_};
        statedFrames_ = static_cast<std::uint64_t>(
            av_rescale_q(statedLength_, input_->streams[stream_]->time_base, frameTime));
      }
    }
    if (frame.sample_rate != rate_ || rate_ <= 0) return Damaged("the sample rate changes at " + Position());
    if (!narrowing_.Convert(frame)) return Damaged("an unknown sample layout at " + Position());
    result_.overs = narrowing_.Overs();
    const std::int16_t* samples = narrowing_.Samples();
    std::size_t frames = static_cast<std::size_t>(frame.nb_samples);
    // What goes past the stated length is held back, and dropped at the end as the encoder's
    // padding. More than a padding's worth means the stated length was wrong: then all is kept.
    if (statedFrames_ > 0 && result_.frames + frames > statedFrames_) {
      const std::uint64_t room = statedFrames_ - std::min(statedFrames_, result_.frames);
      const std::size_t kept = static_cast<std::size_t>(room);
      pastStatedEnd_.insert(pastStatedEnd_.end(), samples + 2 * kept, samples + 2 * frames);
      frames = kept;
    }
    if (!Put(samples, frames, wav)) return ANYAUDIO_WRITE_FAILED;
    if (pastStatedEnd_.size() > 2 * kMostPadding) {
      statedFrames_ = 0;
      if (!Put(pastStatedEnd_.data(), pastStatedEnd_.size() / 2, wav)) return ANYAUDIO_WRITE_FAILED;
      pastStatedEnd_.clear();
    }
    return ANYAUDIO_OK;
  }

  bool Put(const std::int16_t* samples, std::size_t frames, PendingWavFile& wav) {
    if (frames > 0 && !wav.Write(samples, frames)) {
      result_.system_error = wav.Error();
      return false;
    }
    result_.frames += frames;
    return true;
  }

  // A file cut short still decodes up to the cut in most containers; where the container states
  // the stream's length, audio that ends well before it is a damaged file, not a shorter song.
  int CheckLength() {
    // A length guessed from the bit rate (raw streams without an index) says nothing about the end.
    if (input_->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return ANYAUDIO_OK;
    const AVStream* stream = input_->streams[stream_];
    double seconds = 0.0;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
      seconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    } else if (input_->duration != AV_NOPTS_VALUE && input_->duration > 0) {
      seconds = static_cast<double>(input_->duration) / AV_TIME_BASE;
    }
    const double decoded = static_cast<double>(result_.frames) / rate_;
    // Encoder delay and padding, and a container's rounding, stay far below this margin.
    if (seconds > 0.0 && decoded < seconds * 0.98 - 0.25) {
      char text[96];
      std::snprintf(text, sizeof text, "the file ends after %.3f s of %.3f s", decoded, seconds);
      return Damaged(text);
    }
    return ANYAUDIO_OK;
  }

  anyaudio_result& result_;
  Progress& progress_;
  InputFile input_;
  Codec codec_;
  int stream_ = -1;
  int rate_ = 0;
  Narrowing narrowing_;
  // The container's own length of the stream, in its time base and in sample frames (0: none that
  // bounds the decoding), and the decoded samples past it so far.
  std::int64_t statedLength_ = 0;
  std::uint64_t statedFrames_ = 0;
  std::vector<std::int16_t> pastStatedEnd_;
  // Two frames of HE-AAC: the most an encoder pads the end with.
  static constexpr std::size_t kMostPadding = 4096;
};

int Decode(const char* source, const char* destination, Progress& progress, anyaudio_result& result) {
  Decoding decoding(result, progress);
  if (const int status = decoding.Open(source); status != ANYAUDIO_OK) return status;
  PendingWavFile wav;
  if (!wav.Create(destination)) {
    result.system_error = wav.Error();
    return ANYAUDIO_WRITE_FAILED;
  }
  if (const int status = decoding.Run(wav); status != ANYAUDIO_OK) return status;
  if (const int status = decoding.CheckOggEnd(source); status != ANYAUDIO_OK) return status;
  result.sample_rate = decoding.SampleRate();
  if (!progress.Report(1000)) return ANYAUDIO_STOPPED;
  if (!wav.Commit(static_cast<std::uint32_t>(decoding.SampleRate()))) {
    result.system_error = wav.Error();
    return ANYAUDIO_WRITE_FAILED;
  }
  return ANYAUDIO_OK;
}

}  // namespace

}  // namespace merolune

int32_t AnyAudioToWav(const char* source, const char* destination, anyaudio_progress progress, void* user,
                      anyaudio_result* result) {
  *result = anyaudio_result{};
  if (!source || !destination) return ANYAUDIO_UNRECOGNISED;
  merolune::SilenceFfmpegLog();
  merolune::Progress steps(progress, user);
  try {
    return merolune::Decode(source, destination, steps, *result);
  } catch (const std::bad_alloc&) {
    std::snprintf(result->detail, sizeof result->detail, "out of memory");
    return ANYAUDIO_DAMAGED;
  }
}
