// Owners of FFmpeg's objects, and opening a local file with FFmpeg, for the codec libraries built over it.

#include "FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <cstdarg>
#include <mutex>

namespace merolune {

namespace {

// Does nothing, which is safe on any thread.
void DropLogLine(void*, int, const char*, std::va_list) {}

}  // namespace

void InputCloser::operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }

void OutputCloser::operator()(AVFormatContext* context) const noexcept {
  if (!context) return;
  if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
  avformat_free_context(context);
}

void CodecCloser::operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
void FrameFreer::operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
void PacketFreer::operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
void ResamplerFreer::operator()(SwrContext* context) const noexcept { swr_free(&context); }
void FifoFreer::operator()(AVAudioFifo* fifo) const noexcept { av_audio_fifo_free(fifo); }

void SilenceFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(DropLogLine); });
}

int SystemErrorOf(int code) {
  constexpr int kLargestErrno = 4095;
  return code < 0 && code >= -kLargestErrno ? -code : 0;
}

std::string FileUrl(const std::string& path) { return "file:" + path; }

InputFile OpenInputFile(const std::string& path, const char* demuxer) {
  const AVInputFormat* format = av_find_input_format(demuxer);
  if (!format) return nullptr;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  AVFormatContext* raw = nullptr;
  const int opened = avformat_open_input(&raw, FileUrl(path).c_str(), format, &options);
  av_dict_free(&options);
  // avformat_open_input frees the context itself when it fails.
  return opened < 0 ? nullptr : InputFile(raw);
}

}  // namespace merolune
