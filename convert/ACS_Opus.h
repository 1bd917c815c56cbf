#pragma once
// The Ogg Opus pipeline component: TOpusOut encodes the PCM of its input with libopusenc.

#include <atomic>
#include <cstdint>
#include <memory>

#include "ACS_Classes.h"

namespace merolune {

class OpusEncLib;

// The bit rates TOpusOut accepts, kbit/s.
inline constexpr std::int32_t kOpusKbpsMin = 32;
inline constexpr std::int32_t kOpusKbpsMax = 256;
inline constexpr std::int32_t kOpusKbpsDefault = 128;

// Followed by libopusenc's own text for its code.
inline constexpr char kOpusEncodingFailed[] = "Opus encoding failed: ";
// Followed by the input's channels and bits.
inline constexpr char kOpusUnsupportedInput[] =
    "Opus encoding takes mono or stereo PCM of 8, 16, 24 or 32 bits only, not ";

// Encodes its input (mono or stereo PCM of 8, 16, 24 or 32 bits, at any rate) as an Ogg Opus file at
// BitRate kbit/s, writing an assigned stream or the file FileName. Opus always runs at 48 kHz:
// libopusenc resamples other rates and states the source's rate in the header, and the header's
// pre-skip lets decoders drop the encoder's delay, so a decoder gives back the source's length.
//
// Threads: as every output (see TAuOutput). BitRate is set on the UI thread while the output is
// idle; PrepareOutput reads it. The encoder lives from PrepareOutput to FinishOutput.
//
// Throws: the constructor EAuException "libopusenc.so.0 library could not be loaded." when the
// library is unusable. A run ends with, in ErrorMessage: kOpusUnsupportedInput for other input,
// kOpusEncodingFailed with libopusenc's text when it refuses the settings or fails, the stream's own
// message on a write error, and the input's message on a read error.
class TOpusOut : public TAuFileOut {
  Q_OBJECT

 public:
  explicit TOpusOut(QObject* owner = nullptr);
  ~TOpusOut() override;
  TOpusOut(const TOpusOut&) = delete;
  TOpusOut& operator=(const TOpusOut&) = delete;

  // kbit/s, kept within kOpusKbpsMin..kOpusKbpsMax.
  std::int32_t BitRate() const { return bitRate_.load(); }
  void SetBitRate(std::int32_t kbps);

 protected:
  void PrepareOutput() override;
  bool ProcessBlock(bool abort) override;
  void FinishOutput() override;

 private:
  struct Encoder;

  std::atomic<std::int32_t> bitRate_{kOpusKbpsDefault};
  std::unique_ptr<const OpusEncLib> library_;
  std::unique_ptr<Encoder> encoder_;
  bool inputBegun_ = false;
};

}  // namespace merolune
