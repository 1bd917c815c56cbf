#pragma once
// Reading a file's first audio stream with FFmpeg, converting its frames, and telling the caller's
// progress function how far the work has come: what the codec libraries over FFmpeg share.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "FfmpegHandles.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace merolune {

// A library's progress function: the position in thousandths; a non-zero answer asks to stop.
using ProgressFunction = std::int32_t (*)(void* user, std::int32_t permille);

// Calls the caller's progress function on the converting thread with the position in thousandths:
// at the start, after every few packets or every few tens of milliseconds of work, whichever comes
// first, and at the end. A non-zero answer stops the conversion at the next packet.
class Progress {
 public:
  Progress(ProgressFunction function, void* user) : function_(function), user_(user) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Later positions are parts of [first, last] thousandths: one pass over the source is one share of
  // the whole work.
  void SetStage(int first, int last) {
    first_ = first;
    last_ = last;
  }

  // Counts one step of work (a packet); true when it is time to call the function again (or it has
  // asked to stop).
  bool Due() {
    if (!function_) return false;
    return stopped_ || ++steps_ >= kStepsPerCall || Clock::now() - lastCall_ >= kInterval;
  }

  // Calls the function with `done` of `total` (bytes or frames) of the current stage. False once it
  // has asked to stop.
  bool ReportPart(std::int64_t done, std::int64_t total) {
    const double part =
        total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 0.0;
    return Report(first_ + static_cast<int>(part * (last_ - first_)));
  }

  // Calls the function now with `permille`, never less than the last position reported.
  bool Report(int permille) {
    if (stopped_ || !function_) return !stopped_;
    reported_ = std::clamp(std::max(permille, reported_), 0, 1000);
    steps_ = 0;
    lastCall_ = Clock::now();
    if (function_(user_, reported_) != 0) stopped_ = true;
    return !stopped_;
  }

  bool Stopped() const { return stopped_; }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int kStepsPerCall = 8;
  static constexpr std::chrono::milliseconds kInterval{40};

  ProgressFunction function_;
  void* user_;
  int first_ = 0;
  int last_ = 1000;
  int reported_ = 0;
  int steps_ = 0;
  Clock::time_point lastCall_ = Clock::now();
  bool stopped_ = false;
};

// The first audio stream of a file, read with one named demuxer and decoded.
class AudioReader {
 public:
  // Only the given demuxer is tried (the WMA side is always ASF, a WAV file always RIFF). False
  // when the file cannot be opened as one or has no audio stream FFmpeg decodes.
  bool Open(const std::string& path, const char* demuxer);

  AVFormatContext* Format() const { return input_.get(); }
  AVCodecContext* Decoder() const { return codec_.get(); }
  // Packets the decoder rejected as damaged; decoding goes on after them, as FFmpeg's tools do.
  int DamagedPackets() const { return damaged_; }
  // Packets the decoder took without an error.
  int DecodedPackets() const { return decoded_; }

  // Hands every decoded frame to `sink`, which answers false to stop, and tells `progress` (when
  // given) how far into the file reading has come. False on a read or decoding error other than a
  // damaged packet, or when the sink or the progress function stopped.
  bool DecodeAll(const std::function<bool(const AVFrame&)>& sink, Progress* progress = nullptr);

 private:
  bool Drain(AVFrame* frame, const std::function<bool(const AVFrame&)>& sink);

  InputFile input_;
  Codec codec_;
  int stream_ = -1;
  int damaged_ = 0;
  int decoded_ = 0;
};

// Turns decoded frames of any layout and rate into `channels` channels (1 or 2) at one rate: a mono
// source on both channels at full level (FFmpeg's own mix would lower it by 3 dB), a stereo source
// to mono as the mean of its channels (FFmpeg's own mix adds them at -3 dB each, which can exceed
// full scale), more channels mixed down by FFmpeg.
class Converter {
 public:
  // `rate` 0 keeps the source's rate.
  Converter(AVSampleFormat format, int channels, int rate = 0)
      : format_(format), channels_(channels), outRate_(rate) {}
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts `frame`; the result is in Data() until the next call. Returns the number of sample
  // frames, or -1 on an error (also when the source format changes midway: the output has a single
  // format).
  int Convert(const AVFrame& frame);
  // The end of the audio that the resampler's filter still holds; called once after the last frame.
  // Returns the number of sample frames in Data(), or -1 on an error.
  int Flush();

  // The output rate; 0 before the first frame when it follows the source.
  int SampleRate() const { return outRate_; }
  std::uint8_t* const* Data() const { return planes_.data(); }

 private:
  bool Init(const AVFrame& frame);
  bool Reserve(int frames);

  AVSampleFormat format_;
  int channels_;
  int outRate_;
  Resampler resampler_;
  int inFormat_ = -1;
  int inChannels_ = 0;
  int inRate_ = 0;
  std::array<std::uint8_t*, 2> planes_{};  // one buffer; the second pointer is set for planar stereo
  int capacity_ = 0;
};

}  // namespace merolune
