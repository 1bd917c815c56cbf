#pragma once
// Owners of FFmpeg's objects, and opening a local file with FFmpeg, for the codec libraries built over it.

#include <memory>
#include <string>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace merolune {

// Each frees its object with FFmpeg's own function; null is ignored.
struct InputCloser {
  void operator()(AVFormatContext* context) const noexcept;
};
// Closes the output's file (unless its format writes none) and frees the context.
struct OutputCloser {
  void operator()(AVFormatContext* context) const noexcept;
};
struct CodecCloser {
  void operator()(AVCodecContext* context) const noexcept;
};
struct FrameFreer {
  void operator()(AVFrame* frame) const noexcept;
};
struct PacketFreer {
  void operator()(AVPacket* packet) const noexcept;
};
struct ResamplerFreer {
  void operator()(SwrContext* context) const noexcept;
};
struct FifoFreer {
  void operator()(AVAudioFifo* fifo) const noexcept;
};

using InputFile = std::unique_ptr<AVFormatContext, InputCloser>;
using OutputFile = std::unique_ptr<AVFormatContext, OutputCloser>;
using Codec = std::unique_ptr<AVCodecContext, CodecCloser>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Resampler = std::unique_ptr<SwrContext, ResamplerFreer>;
using Fifo = std::unique_ptr<AVAudioFifo, FifoFreer>;

// FFmpeg prints its warnings and errors ("[ape @ 0x...] ...") on stderr, which is the user's
// terminal when the program runs from one; the libraries report failures to their callers in their
// own ways instead. This points FFmpeg's log, which is process-wide, at a function that drops every
// line; the first call does it, later ones cost a check. Any thread may call it.
void SilenceFfmpegLog();

// The errno value an FFmpeg error code carries (AVERROR(e) is -e, a full disk ENOSPC); 0 for FFmpeg's
// own error tags, which are far larger in magnitude, and for success.
int SystemErrorOf(int code);

// FFmpeg reads names with a protocol prefix ("http:", "concat:", ...) as URLs; ours are always
// local files, whatever characters they hold.
std::string FileUrl(const std::string& path);

// Opens `path` with the demuxer named `demuxer` and the file protocol only: probing would let a file
// of another kind (a playlist, say) make FFmpeg open other files. Null when FFmpeg refuses the file.
InputFile OpenInputFile(const std::string& path, const char* demuxer);

}  // namespace merolune
