#include "wmafile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PendingWavFile.h"
#include "TemporaryFile.h"

namespace merolune {

namespace {

// The exact number of sample frames that WAV2WMA encoded, stored as an ASF attribute. The encoder
// works in whole codec frames and needs one frame of silence after the audio (below), so a decoder
// delivers up to two frames more than there were; WMA2WAV cuts them off when it finds this.
constexpr const char* kSampleCountKey = "Merolune/SampleCount";

struct InputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputCloser {
  void operator()(AVFormatContext* context) const {
    if (!(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
struct CodecCloser {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ResamplerFreer {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
struct FifoFreer {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

using InputFile = std::unique_ptr<AVFormatContext, InputCloser>;
using OutputFile = std::unique_ptr<AVFormatContext, OutputCloser>;
using Codec = std::unique_ptr<AVCodecContext, CodecCloser>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Resampler = std::unique_ptr<SwrContext, ResamplerFreer>;
using Fifo = std::unique_ptr<AVAudioFifo, FifoFreer>;

// FFmpeg reads names with a protocol prefix ("http:", "concat:", ...) as URLs; ours are always
// local files, whatever characters they hold.
std::string FileUrl(const std::string& path) { return "file:" + path; }

// Removes a file on scope exit unless told to keep it.
class FileRemover {
 public:
  explicit FileRemover(std::string path) : path_(std::move(path)) {}
  ~FileRemover() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  FileRemover(const FileRemover&) = delete;
  FileRemover& operator=(const FileRemover&) = delete;
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// The first audio stream of a file, read with one named demuxer and decoded.
class AudioReader {
 public:
  // Only the given demuxer is tried: the WMA side is always ASF and the WAV side always RIFF, and
  // probing would let a file of another kind (a playlist, say) make FFmpeg open other files.
  bool Open(const std::string& path, const char* demuxer) {
    const AVInputFormat* format = av_find_input_format(demuxer);
    if (!format) return false;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const int opened = avformat_open_input(&raw, FileUrl(path).c_str(), format, &options);
    av_dict_free(&options);
    if (opened < 0) return false;
    input_.reset(raw);
    if (avformat_find_stream_info(input_.get(), nullptr) < 0) return false;
    const AVCodec* decoder = nullptr;
    stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream_ < 0 || !decoder) return false;
    codec_.reset(avcodec_alloc_context3(decoder));
    if (!codec_) return false;
    const AVStream* stream = input_->streams[stream_];
    if (avcodec_parameters_to_context(codec_.get(), stream->codecpar) < 0) return false;
    codec_->pkt_timebase = stream->time_base;
    return avcodec_open2(codec_.get(), decoder, nullptr) >= 0;
  }

  AVFormatContext* Format() const { return input_.get(); }
  AVCodecContext* Decoder() const { return codec_.get(); }
  // Packets the decoder rejected as damaged; decoding goes on after them, as FFmpeg's tools do.
  int DamagedPackets() const { return damaged_; }

  // Hands every decoded frame to `sink`, which answers false to stop. False on a read or decoding
  // error other than a damaged packet, or when the sink stopped.
  bool DecodeAll(const std::function<bool(const AVFrame&)>& sink) {
    Packet packet(av_packet_alloc());
    Frame frame(av_frame_alloc());
    if (!packet || !frame) return false;
    for (;;) {
      const int read = av_read_frame(input_.get(), packet.get());
      if (read == AVERROR_EOF) break;
      if (read < 0) return false;
      if (packet->stream_index != stream_) {
        av_packet_unref(packet.get());
        continue;
      }
      const int sent = avcodec_send_packet(codec_.get(), packet.get());
      av_packet_unref(packet.get());
      if (sent == AVERROR_INVALIDDATA) {
        ++damaged_;
        continue;
      }
      if (sent < 0 || !Drain(frame.get(), sink)) return false;
    }
    // The decoder may still hold the end of the audio.
    return avcodec_send_packet(codec_.get(), nullptr) >= 0 && Drain(frame.get(), sink);
  }

 private:
  bool Drain(AVFrame* frame, const std::function<bool(const AVFrame&)>& sink) {
    for (;;) {
      const int received = avcodec_receive_frame(codec_.get(), frame);
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
      if (received == AVERROR_INVALIDDATA) {
        ++damaged_;
        continue;
      }
      if (received < 0) return false;
      const bool more = sink(*frame);
      av_frame_unref(frame);
      if (!more) return false;
    }
  }

  InputFile input_;
  Codec codec_;
  int stream_ = -1;
  int damaged_ = 0;
};

// Turns decoded frames of any layout into stereo at the same rate: a mono source on both channels
// at full level (FFmpeg's own mix would lower it by 3 dB), more channels mixed down by FFmpeg.
class StereoConverter {
 public:
  explicit StereoConverter(AVSampleFormat format) : format_(format) {}
  ~StereoConverter() {
    if (planes_[0]) av_freep(&planes_[0]);
  }
  StereoConverter(const StereoConverter&) = delete;
  StereoConverter& operator=(const StereoConverter&) = delete;

  // Converts `frame`; the result is in Data() until the next call. Returns the number of sample
  // frames, or -1 on an error (also when the source format changes midway, which WMA and WAV
  // files do not do: the output has a single format).
  int Convert(const AVFrame& frame) {
    if (!resampler_ && !Init(frame)) return -1;
    if (frame.format != inFormat_ || frame.sample_rate != rate_ ||
        frame.ch_layout.nb_channels != inChannels_) {
      return -1;
    }
    if (!Reserve(frame.nb_samples)) return -1;
    return swr_convert(resampler_.get(), planes_.data(), capacity_,
                       const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
  }

  // The rate of the first frame (no resampling takes place); 0 before it.
  int SampleRate() const { return rate_; }
  std::uint8_t* const* Data() const { return planes_.data(); }

 private:
  bool Init(const AVFrame& frame) {
    AVChannelLayout in{};
    if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame.ch_layout.nb_channels <= 0) {
      av_channel_layout_default(&in, std::max(frame.ch_layout.nb_channels, 1));
    } else if (av_channel_layout_copy(&in, &frame.ch_layout) < 0) {
      return false;
    }
    AVChannelLayout out{};
    av_channel_layout_default(&out, 2);
    SwrContext* raw = nullptr;
    const int made =
        swr_alloc_set_opts2(&raw, &out, format_, frame.sample_rate, &in,
                            static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
    const int inChannels = in.nb_channels;
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (made < 0 || !raw) return false;
    resampler_.reset(raw);
    if (inChannels == 1) {
      const double spread[2] = {1.0, 1.0};  // left and right, each from the one input channel
      if (swr_set_matrix(resampler_.get(), spread, 1) < 0) return false;
    }
    if (swr_init(resampler_.get()) < 0) return false;
    inFormat_ = frame.format;
    inChannels_ = frame.ch_layout.nb_channels;
    rate_ = frame.sample_rate;
    return true;
  }

  bool Reserve(int frames) {
    if (frames <= capacity_) return true;
    if (planes_[0]) av_freep(&planes_[0]);
    capacity_ = 0;
    if (av_samples_alloc(planes_.data(), nullptr, 2, frames, format_, 0) < 0) return false;
    capacity_ = frames;
    return true;
  }

  AVSampleFormat format_;
  Resampler resampler_;
  int inFormat_ = -1;
  int inChannels_ = 0;
  int rate_ = 0;
  std::array<std::uint8_t*, 2> planes_{};  // one buffer; the second pointer is set for planar output
  int capacity_ = 0;
};

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

bool WmaToWav(const std::string& source, const std::string& destination) {
  AudioReader reader;
  if (!reader.Open(source, "asf")) return false;
  const std::optional<std::uint64_t> count = StoredSampleCount(reader.Format());
  PendingWavFile wav;
  if (!wav.Create(destination)) return false;
  StereoConverter stereo(AV_SAMPLE_FMT_S16);
  const bool decoded = reader.DecodeAll([&](const AVFrame& frame) {
    const int frames = stereo.Convert(frame);
    if (frames < 0) return false;
    std::uint64_t keep = static_cast<std::uint64_t>(frames);
    if (count) keep = std::min(keep, *count - std::min(*count, wav.FramesWritten()));
    return wav.Write(reinterpret_cast<const std::int16_t*>(stereo.Data()[0]), static_cast<std::size_t>(keep));
  });
  if (!decoded) return false;
  // Nothing but damaged packets: not a WMA file we can read, rather than a silent one.
  if (wav.FramesWritten() == 0 && reader.DamagedPackets() > 0) return false;
  const int rate = stereo.SampleRate() > 0 ? stereo.SampleRate() : reader.Decoder()->sample_rate;
  if (rate <= 0) return false;
  return wav.Commit(static_cast<std::uint32_t>(rate));
}

// Counts the sample frames of a WAV file by decoding it, so the count is right even when the
// header's sizes are not (a file still being written, or a data size of 0 or -1).
std::optional<std::uint64_t> CountFrames(const std::string& source) {
  AudioReader reader;
  if (!reader.Open(source, "wav")) return std::nullopt;
  std::uint64_t frames = 0;
  if (!reader.DecodeAll([&frames](const AVFrame& frame) {
        frames += static_cast<std::uint64_t>(frame.nb_samples);
        return true;
      })) {
    return std::nullopt;
  }
  return frames;
}

// FFmpeg's ASF muxer never splits an audio packet between two ASF data packets, so with its default
// data packet size of 3200 bytes whatever is left after the last whole superframe is padding: at
// 192 kbit/s two superframes of 1114 bytes fill a packet and the file grows by 45 %, at 320 kbit/s
// by 70 %. A data packet that holds a whole number of superframes with their payload headers (17
// bytes each) and the packet's own header (at most 32 bytes) keeps the file at the bit rate asked for.
std::int64_t DataPacketSize(int superframeBytes) {
  constexpr int kPayloadHeader = 17;
  constexpr int kPacketHeader = 32;
  constexpr int kDefaultPacket = 3200;
  constexpr int kMaxPacket = 65536;
  const int perSuperframe = superframeBytes + kPayloadHeader;
  const int count = std::max(1, (kDefaultPacket - kPacketHeader) / perSuperframe);
  return std::min(kMaxPacket, count * perSuperframe + kPacketHeader);
}

// Feeds the wmav2 encoder whole frames from a FIFO and writes its packets to the ASF file.
class WmaEncoder {
 public:
  bool Open(int sampleRate, std::int64_t bitRate, std::uint64_t frames, const std::string& path) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    if (!encoder) return false;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr) < 0 || !raw) return false;
    output_.reset(raw);

    codec_.reset(avcodec_alloc_context3(encoder));
    if (!codec_) return false;
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = sampleRate;
    av_channel_layout_default(&codec_->ch_layout, 2);
    codec_->bit_rate = bitRate;
    codec_->time_base = AVRational{1, sampleRate};
    if (output_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Refuses bit rates below 24 kbit/s and rates above 48 kHz.
    if (avcodec_open2(codec_.get(), encoder, nullptr) < 0 || codec_->frame_size <= 0) return false;

    stream_ = avformat_new_stream(output_.get(), nullptr);
    if (!stream_ || avcodec_parameters_from_context(stream_->codecpar, codec_.get()) < 0) return false;
    stream_->time_base = codec_->time_base;
    av_dict_set(&output_->metadata, kSampleCountKey, std::to_string(frames).c_str(), 0);
    if (codec_->block_align > 0) {
      av_opt_set_int(output_->priv_data, "packet_size", DataPacketSize(codec_->block_align), 0);
    }

    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, codec_->frame_size * 2));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!fifo_ || !frame_ || !packet_) return false;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avio_open2(&output_->pb, FileUrl(path).c_str(), AVIO_FLAG_WRITE, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return false;
    if (avformat_write_header(output_.get(), nullptr) < 0) return false;

    // FFmpeg's wmav2 decoder asks for the first 2 * frame_size samples it decodes to be skipped, but
    // FFmpeg's encoder delays the audio by only one frame (its initial_padding), so a plain round trip
    // loses the first frame of the audio. One frame of silence ahead of the audio makes up the
    // difference: FFmpeg-based readers, WMA2WAV among them, start exactly at the first sample.
    return PushSilence(codec_->frame_size);
  }

  bool Push(std::uint8_t* const* planes, int frames) {
    void* data[2] = {planes[0], planes[1]};
    if (av_audio_fifo_write(fifo_.get(), data, frames) < frames) return false;
    return EncodeWholeFrames();
  }

  // Completes the last frame with silence and adds one more silent frame: a frame's samples are
  // whole only after the next frame's overlap has been added, and the encoder has no flush of its
  // own. Then writes the end of the file.
  bool Finish() {
    const int size = codec_->frame_size;
    const int partial = av_audio_fifo_size(fifo_.get());
    if (!PushSilence((size - partial % size) % size + size)) return false;
    if (avcodec_send_frame(codec_.get(), nullptr) < 0 || !WritePackets()) return false;
    if (av_write_trailer(output_.get()) < 0) return false;
    // Closing flushes the buffered end of the file; an error there is a failed file.
    return avio_closep(&output_->pb) >= 0;
  }

 private:
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
      // Fails when a frame cannot be coded within the bit rate (very low rates, loud noise).
      if (avcodec_send_frame(codec_.get(), frame_.get()) < 0 || !WritePackets()) return false;
    }
    return true;
  }

  bool WritePackets() {
    for (;;) {
      const int received = avcodec_receive_packet(codec_.get(), packet_.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
      if (received < 0) return false;
      av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      if (av_interleaved_write_frame(output_.get(), packet_.get()) < 0) return false;
    }
  }

  OutputFile output_;
  Codec codec_;
  AVStream* stream_ = nullptr;
  Fifo fifo_;
  Frame frame_;
  Packet packet_;
  std::int64_t pts_ = 0;
};

// The bit rates the program offers run from 5 to 320 kbit/s; anything far beyond is a mistake.
constexpr std::int32_t kMaxKbps = 10000;

bool WavToWma(const std::string& source, const std::string& destination, std::int32_t kbps) {
  if (kbps <= 0 || kbps > kMaxKbps) return false;
  const std::optional<std::uint64_t> frames = CountFrames(source);
  if (!frames) return false;

  AudioReader reader;
  if (!reader.Open(source, "wav")) return false;
  const int rate = reader.Decoder()->sample_rate;
  if (rate <= 0) return false;

  std::string temporary;
  const int fd = CreateFileBeside(destination, temporary);
  if (fd < 0) return false;
  close(fd);
  FileRemover remover(temporary);
  {
    WmaEncoder encoder;
    if (!encoder.Open(rate, std::int64_t{kbps} * 1000, *frames, temporary)) return false;
    StereoConverter stereo(AV_SAMPLE_FMT_FLTP);
    const bool encoded = reader.DecodeAll([&](const AVFrame& frame) {
      const int converted = stereo.Convert(frame);
      return converted >= 0 && encoder.Push(stereo.Data(), converted);
    });
    if (!encoded || reader.DamagedPackets() > 0 || !encoder.Finish()) return false;
  }
  if (std::rename(temporary.c_str(), destination.c_str()) != 0) return false;
  remover.Keep();
  return true;
}

}  // namespace

}  // namespace merolune

// The entry points: nothing may escape into the caller, which has no way to receive an error.

extern "C" MEROLUNE_WMAFILE_API void WMA2WAV(const char* source, const char* destination) {
  try {
    if (source && destination) merolune::WmaToWav(source, destination);
  } catch (...) {
  }
}

extern "C" MEROLUNE_WMAFILE_API void WAV2WMA(const char* source, const char* destination, int32_t kbps) {
  try {
    if (source && destination) merolune::WavToWma(source, destination, kbps);
  } catch (...) {
  }
}
