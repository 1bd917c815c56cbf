// libanyaudio.so: a WAV file to AAC-LC in an MPEG-4 audio file (.m4a), with FFmpeg's own AAC encoder.

#include "anyaudio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "FfmpegAudio.h"
#include "FfmpegHandles.h"
#include "PendingFile.h"
#include "ResultText.h"

namespace merolune {

namespace {

constexpr int kChannels = 2;

// The rate the file is written at: the source's when AAC has it, else the next higher one AAC has
// (the highest for a source above them all).
int WrittenRate(const AVCodec& encoder, int sourceRate) {
  int best = 0;
  for (const int* rate = encoder.supported_samplerates; rate && *rate; ++rate) {
    if (*rate == sourceRate) return sourceRate;
    if (*rate > sourceRate && (best == 0 || *rate < best)) best = *rate;
  }
  if (best > 0) return best;
  for (const int* rate = encoder.supported_samplerates; rate && *rate; ++rate) best = std::max(best, *rate);
  return best > 0 ? best : sourceRate;
}

// One encoding; each step returns the status to give back, ANYAUDIO_OK to go on.
class M4aEncoding {
 public:
  explicit M4aEncoding(anyaudio_result& result) : result_(result) {}

  int Open(int sourceRate, int kbps, const std::string& path) {
    const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
    if (!encoder) return Failed("FFmpeg has no AAC encoder");
    const int rate = WrittenRate(*encoder, sourceRate);
    result_.sample_rate = rate;
    AVFormatContext* raw = nullptr;
    // The "ipod" muxer writes the M4A brand that players file as music.
    if (avformat_alloc_output_context2(&raw, nullptr, "ipod", nullptr) < 0 || !raw) {
      return Failed("FFmpeg has no M4A muxer");
    }
    output_.reset(raw);

    codec_.reset(avcodec_alloc_context3(encoder));
    if (!codec_) return Failed("out of memory");
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = rate;
    av_channel_layout_default(&codec_->ch_layout, kChannels);
    codec_->bit_rate = std::int64_t{kbps} * 1000;
    codec_->profile = FF_PROFILE_AAC_LOW;
    codec_->time_base = AVRational{1, rate};
    if (output_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int opened = avcodec_open2(codec_.get(), encoder, nullptr); opened < 0) {
      return Failed("the AAC encoder refused " + std::to_string(rate) + " Hz at " + std::to_string(kbps) +
                    " kbit/s: " + ErrorText(opened));
    }
    smallLastFrame_ = (encoder->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;

    stream_ = avformat_new_stream(output_.get(), nullptr);
    if (!stream_ || avcodec_parameters_from_context(stream_->codecpar, codec_.get()) < 0) {
      return Failed("out of memory");
    }
    stream_->time_base = codec_->time_base;

    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kChannels, codec_->frame_size * 2));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!fifo_ || !frame_ || !packet_) return Failed("out of memory");

    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avio_open2(&output_->pb, FileUrl(path).c_str(), AVIO_FLAG_WRITE, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return WriteFailed(opened);
    // The encoder's priming (its initial padding, 1024 sample frames) goes ahead of the audio; the
    // muxer states it in the edit list, which decoders skip. A movie time scale of the sample rate
    // lets the edit list's duration state the exact length too, so the padding of the last frame is
    // marked as well.
    av_dict_set_int(&options, "movie_timescale", rate, 0);
    const int written = avformat_write_header(output_.get(), &options);
    av_dict_free(&options);
    return written < 0 ? WriteFailed(written) : ANYAUDIO_OK;
  }

  // Planar float stereo.
  int Push(std::uint8_t* const* planes, int frames) {
    void* data[kChannels] = {planes[0], planes[1]};
    if (av_audio_fifo_write(fifo_.get(), data, frames) < frames) return Failed("out of memory");
    result_.frames += static_cast<std::uint64_t>(frames);
    return EncodeFrames(codec_->frame_size);
  }

  // Encodes what is left, drains the encoder and writes the end of the file.
  int Finish() {
    if (const int status = EncodeFrames(1); status != ANYAUDIO_OK) return status;
    if (avcodec_send_frame(codec_.get(), nullptr) < 0) return Failed("the AAC encoder could not be flushed");
    if (const int status = WritePackets(); status != ANYAUDIO_OK) return status;
    if (const int trailer = av_write_trailer(output_.get()); trailer < 0) return WriteFailed(trailer);
    // Closing flushes the buffered end of the file; an error there is a failed file.
    const int closed = avio_closep(&output_->pb);
    return closed < 0 ? WriteFailed(closed) : ANYAUDIO_OK;
  }

 private:
  // Encodes whole frames while at least `least` sample frames wait; the last, shorter frame goes as
  // it is when the encoder takes one, padded with silence otherwise.
  int EncodeFrames(int least) {
    const int size = codec_->frame_size;
    while (av_audio_fifo_size(fifo_.get()) >= least && av_audio_fifo_size(fifo_.get()) > 0) {
      const int take = std::min(size, av_audio_fifo_size(fifo_.get()));
      av_frame_unref(frame_.get());
      frame_->nb_samples = smallLastFrame_ ? take : size;
      frame_->format = AV_SAMPLE_FMT_FLTP;
      frame_->sample_rate = codec_->sample_rate;
      if (av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout) < 0 ||
          av_frame_get_buffer(frame_.get(), 0) < 0) {
        return Failed("out of memory");
      }
      if (take < frame_->nb_samples) {
        av_samples_set_silence(frame_->extended_data, take, frame_->nb_samples - take, kChannels,
                               AV_SAMPLE_FMT_FLTP);
      }
      if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->extended_data), take) < take) {
        return Failed("out of memory");
      }
      frame_->pts = pts_;
      pts_ += take;
      if (const int sent = avcodec_send_frame(codec_.get(), frame_.get()); sent < 0) {
        return Failed("the AAC encoder failed: " + ErrorText(sent));
      }
      if (const int status = WritePackets(); status != ANYAUDIO_OK) return status;
    }
    return ANYAUDIO_OK;
  }

  int WritePackets() {
    for (;;) {
      const int received = avcodec_receive_packet(codec_.get(), packet_.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return ANYAUDIO_OK;
      if (received < 0) return Failed("the AAC encoder failed: " + ErrorText(received));
      av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      if (const int written = av_interleaved_write_frame(output_.get(), packet_.get()); written < 0) {
        return WriteFailed(written);
      }
    }
  }

  int Failed(const std::string& detail) {
    CopyText(result_.detail, detail);
    return ANYAUDIO_ENCODING_FAILED;
  }

  // A write that failed without a system error of its own is an I/O error to the user.
  int WriteFailed(int code) {
    const int error = SystemErrorOf(code);
    result_.system_error = error != 0 ? error : EIO;
    return ANYAUDIO_WRITE_FAILED;
  }

  anyaudio_result& result_;
  OutputFile output_;
  Codec codec_;
  AVStream* stream_ = nullptr;
  Fifo fifo_;
  Frame frame_;
  Packet packet_;
  bool smallLastFrame_ = false;
  std::int64_t pts_ = 0;
};

int Encode(const char* source, const char* destination, std::int32_t kbps, Progress& progress,
           anyaudio_result& result) {
  if (kbps < ANYAUDIO_AAC_MIN_KBPS || kbps > ANYAUDIO_AAC_MAX_KBPS) {
    CopyText(result.detail, "AAC bit rates run from " + std::to_string(ANYAUDIO_AAC_MIN_KBPS) + " to " +
                                std::to_string(ANYAUDIO_AAC_MAX_KBPS) + " kbit/s");
    return ANYAUDIO_ENCODING_FAILED;
  }
  if (!progress.Report(0)) return ANYAUDIO_STOPPED;
  AudioReader reader;
  if (!reader.Open(source, "wav")) {
    CopyText(result.detail, "the WAV file cannot be read");
    return ANYAUDIO_DAMAGED;
  }
  const AVCodecContext& wav = *reader.Decoder();
  result.channels = wav.ch_layout.nb_channels;
  result.source_bits = av_get_bytes_per_sample(wav.sample_fmt) * 8;
  if (result.channels < 1 || result.channels > 2) return ANYAUDIO_CHANNELS;

  PendingFile output;
  // FFmpeg writes the file by its name.
  if (!output.Create(destination) || !output.Close()) {
    result.system_error = errno;
    return ANYAUDIO_WRITE_FAILED;
  }
  {
    M4aEncoding encoding(result);
    if (const int status = encoding.Open(wav.sample_rate, kbps, output.Path()); status != ANYAUDIO_OK) return status;
    Converter convert(AV_SAMPLE_FMT_FLTP, kChannels, result.sample_rate);
    int status = ANYAUDIO_OK;
    const bool read = reader.DecodeAll(
        [&](const AVFrame& frame) {
          const int converted = convert.Convert(frame);
          if (converted < 0) CopyText(result.detail, "the WAV file's samples cannot be converted");
          status = converted < 0 ? ANYAUDIO_ENCODING_FAILED : encoding.Push(convert.Data(), converted);
          return status == ANYAUDIO_OK;
        },
        &progress);
    if (status != ANYAUDIO_OK) return status;
    if (progress.Stopped()) return ANYAUDIO_STOPPED;
    if (!read || reader.DamagedPackets() > 0) {
      CopyText(result.detail, "the WAV file cannot be read to its end");
      return ANYAUDIO_DAMAGED;
    }
    const int rest = convert.Flush();
    if (rest < 0) {
      CopyText(result.detail, "the WAV file's samples cannot be converted");
      return ANYAUDIO_ENCODING_FAILED;
    }
    if ((status = encoding.Push(convert.Data(), rest)) != ANYAUDIO_OK) return status;
    if ((status = encoding.Finish()) != ANYAUDIO_OK) return status;
  }
  if (!progress.Report(1000)) return ANYAUDIO_STOPPED;
  if (!output.Commit()) {
    result.system_error = errno;
    return ANYAUDIO_WRITE_FAILED;
  }
  return ANYAUDIO_OK;
}

}  // namespace

}  // namespace merolune

int32_t AnyAudioWavToM4a(const char* source, const char* destination, int32_t kbps, anyaudio_progress progress,
                         void* user, anyaudio_result* result) {
  *result = anyaudio_result{};
  if (!source || !destination) return ANYAUDIO_UNRECOGNISED;
  merolune::SilenceFfmpegLog();
  merolune::Progress steps(progress, user);
  try {
    return merolune::Encode(source, destination, kbps, steps, *result);
  } catch (const std::bad_alloc&) {
    std::snprintf(result->detail, sizeof result->detail, "out of memory");
    return ANYAUDIO_ENCODING_FAILED;
  }
}
