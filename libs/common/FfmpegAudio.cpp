// Reading a file's first audio stream with FFmpeg and converting its frames.

#include "FfmpegAudio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace merolune {

bool AudioReader::Open(const std::string& path, const char* demuxer) {
  input_ = OpenInputFile(path, demuxer);
  if (!input_) return false;
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

bool AudioReader::DecodeAll(const std::function<bool(const AVFrame&)>& sink, Progress* progress) {
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  if (!packet || !frame) return false;
  for (;;) {
    if (progress && progress->Due() && !progress->ReportPart(avio_tell(input_->pb), avio_size(input_->pb))) {
      return false;
    }
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
    ++decoded_;
  }
  // The decoder may still hold the end of the audio.
  return avcodec_send_packet(codec_.get(), nullptr) >= 0 && Drain(frame.get(), sink);
}

bool AudioReader::Drain(AVFrame* frame, const std::function<bool(const AVFrame&)>& sink) {
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

Converter::~Converter() {
  if (planes_[0]) av_freep(&planes_[0]);
}

int Converter::Convert(const AVFrame& frame) {
  if (!resampler_ && !Init(frame)) return -1;
  if (frame.format != inFormat_ || frame.sample_rate != inRate_ || frame.ch_layout.nb_channels != inChannels_) {
    return -1;
  }
  if (!Reserve(swr_get_out_samples(resampler_.get(), frame.nb_samples))) return -1;
  return swr_convert(resampler_.get(), planes_.data(), capacity_,
                     const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
}

int Converter::Flush() {
  if (!resampler_) return 0;
  if (!Reserve(swr_get_out_samples(resampler_.get(), 0))) return -1;
  return swr_convert(resampler_.get(), planes_.data(), capacity_, nullptr, 0);
}

bool Converter::Init(const AVFrame& frame) {
  AVChannelLayout in{};
  if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame.ch_layout.nb_channels <= 0) {
    av_channel_layout_default(&in, std::max(frame.ch_layout.nb_channels, 1));
  } else if (av_channel_layout_copy(&in, &frame.ch_layout) < 0) {
    return false;
  }
  if (frame.sample_rate <= 0) return false;
  const int outRate = outRate_ > 0 ? outRate_ : frame.sample_rate;
  AVChannelLayout out{};
  av_channel_layout_default(&out, channels_);
  SwrContext* raw = nullptr;
  const int made = swr_alloc_set_opts2(&raw, &out, format_, outRate, &in, static_cast<AVSampleFormat>(frame.format),
                                       frame.sample_rate, 0, nullptr);
  const int inChannels = in.nb_channels;
  av_channel_layout_uninit(&in);
  av_channel_layout_uninit(&out);
  if (made < 0 || !raw) return false;
  resampler_.reset(raw);
  if (inChannels == 1 && channels_ == 2) {
    const double spread[2] = {1.0, 1.0};  // left and right, each from the one input channel
    if (swr_set_matrix(resampler_.get(), spread, 1) < 0) return false;
  } else if (inChannels == 2 && channels_ == 1) {
    const double mean[2] = {0.5, 0.5};  // the one output channel from left and right
    if (swr_set_matrix(resampler_.get(), mean, 2) < 0) return false;
  }
  if (swr_init(resampler_.get()) < 0) return false;
  inFormat_ = frame.format;
  inChannels_ = frame.ch_layout.nb_channels;
  inRate_ = frame.sample_rate;
  outRate_ = outRate;
  return true;
}

bool Converter::Reserve(int frames) {
  if (frames < 0) return false;
  if (frames <= capacity_) return true;
  if (planes_[0]) av_freep(&planes_[0]);
  capacity_ = 0;
  if (av_samples_alloc(planes_.data(), nullptr, channels_, frames, format_, 0) < 0) return false;
  capacity_ = frames;
  return true;
}

}  // namespace merolune
