#pragma once
// The MP3 pipeline component: TMP3Out encodes the PCM of its input with LAME into an MP3 file.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "ACS_Classes.h"

namespace merolune {

class LameLib;

// Constant bit rates, in kbit/s as named.
enum class TMP3BitRate {
  br8,
  br16,
  br24,
  br32,
  br40,
  br48,
  br56,
  br64,
  br80,
  br96,
  br112,
  br128,
  br144,
  br160,
  br192,
  br224,
  br256,
  br320
};
// LAME's quality setting, 0 (best, slowest) to 9.
enum class TMP3Quality { ql0, ql1, ql2, ql3, ql4, ql5, ql6, ql7, ql8, ql9 };
// The output sample rate for sources of 41000 Hz or more: srDefault lets LAME choose (it may lower the
// rate for small bit rates); sr41kHz means 44100 Hz.
enum class TMP3SampleRate { srDefault, sr32kHz, sr41kHz, sr48kHz };
// LAME's channel modes 0 to 3. One-channel sources are always encoded as MONO.
enum class TMP3Mode { STEREO, JOINT_STEREO, DUAL_CHANNEL, MONO };

// The kbit/s of a bit rate.
std::int32_t KbpsOf(TMP3BitRate bitRate);
// The bit rate of `kbps`; nothing when it is not one of the eighteen.
std::optional<TMP3BitRate> BitRateForKbps(std::int32_t kbps);

// Encodes its input (PCM of 8, 16, 24 or 32 bits, one or two channels) to MP3 with LAME, writing an
// assigned stream or the file FileName (always created afresh). LAME is told two channels in every
// case: a one-channel source is spread over both and encoded in mono mode. Sources of 41000 Hz or more
// are encoded at SampleRate's rate, lower ones at 32000 Hz (LAME resamples). With a constant bit rate
// the first frame carries LAME's Info tag (written once the end is known), so decoders that read it
// drop the encoder's delay and padding and give back exactly the source's frame count. The ID3v1
// tags are appended when any of them is set (Year and Track 0 count as not set).
//
// Threads: as every output (see TAuOutput). The settings and the tags are set on the UI thread while
// the output is idle; PrepareOutput reads them there. The LAME handle lives from PrepareOutput to
// FinishOutput, and the output can be started again for the next file.
//
// Throws: the constructor EAuException "libmp3lame.so.0 library could not be loaded." when the library
// or one of its entry points is missing. A run ends with, in ErrorMessage: "LAME init failed" when LAME
// refuses the settings, "LAME encoding failed (<code>)" when encoding fails, the stream's own message
// on a write error, the input's message on a read error, and a message naming the format for a source
// of more than two channels or of another sample width.
class TMP3Out : public TAuTaggedFileOut {
  Q_OBJECT

 public:
  explicit TMP3Out(QObject* owner = nullptr);
  ~TMP3Out() override;

  // Constant bit rate, used unless EnableVBR; br128 after construction. LAME may replace a rate the
  // MPEG version it encodes cannot carry with the nearest one it can.
  TMP3BitRate BitRate() const { return bitRate_; }
  void SetBitRate(TMP3BitRate bitRate) { bitRate_ = bitRate; }
  TMP3Quality Quality() const { return quality_; }
  void SetQuality(TMP3Quality quality) { quality_ = quality; }
  TMP3SampleRate SampleRate() const { return sampleRate_; }
  void SetSampleRate(TMP3SampleRate sampleRate) { sampleRate_ = sampleRate; }
  TMP3Mode Mode() const { return mode_; }
  void SetMode(TMP3Mode mode) { mode_ = mode; }
  // Header flags of every frame: CRC protection, copyright, original.
  bool CRC() const { return crc_; }
  void SetCRC(bool crc) { crc_ = crc; }
  bool Copyright() const { return copyright_; }
  void SetCopyright(bool copyright) { copyright_ = copyright; }
  bool Original() const { return original_; }
  void SetOriginal(bool original) { original_ = original; }
  // Variable bit rate settings, used only with EnableVBR. WriteVBRHeader puts the Xing tag into the first
  // frame; the two bit rates are in kbit/s.
  bool WriteVBRHeader() const { return writeVBRHeader_; }
  void SetWriteVBRHeader(bool write) { writeVBRHeader_ = write; }
  bool EnableVBR() const { return enableVBR_; }
  void SetEnableVBR(bool enable) { enableVBR_ = enable; }
  TMP3Quality VBRQuality() const { return vbrQuality_; }
  void SetVBRQuality(TMP3Quality quality) { vbrQuality_ = quality; }
  std::int32_t VBRMinBitrate() const { return vbrMinBitrate_; }
  void SetVBRMinBitrate(std::int32_t kbps) { vbrMinBitrate_ = kbps; }
  std::int32_t VBRMaxBitrate() const { return vbrMaxBitrate_; }
  void SetVBRMaxBitrate(std::int32_t kbps) { vbrMaxBitrate_ = kbps; }

  // The sample rate LAME chose for the last run, in Hz; 0 before the first. It differs from the
  // source's when MP3 cannot carry that rate or the bit rate asks for a lower one.
  std::int32_t WrittenSampleRate() const { return writtenSampleRate_.load(); }

 protected:
  void PrepareOutput() override;
  bool ProcessBlock(bool abort) override;
  void FinishOutput() override;

 private:
  // The LAME handle of one run and its buffers; closing it releases the handle.
  struct Encoder;

  // Appends the ID3v1 tags, flushes LAME's last frames and writes the Info tag into the first frame.
  void CompleteStream();

  TMP3BitRate bitRate_ = TMP3BitRate::br128;
  TMP3Quality quality_ = TMP3Quality::ql5;
  TMP3SampleRate sampleRate_ = TMP3SampleRate::srDefault;
  TMP3Mode mode_ = TMP3Mode::STEREO;
  bool crc_ = false;
  bool copyright_ = false;
  bool original_ = true;
  bool writeVBRHeader_ = false;
  bool enableVBR_ = false;
  TMP3Quality vbrQuality_ = TMP3Quality::ql5;
  std::int32_t vbrMinBitrate_ = 128;
  std::int32_t vbrMaxBitrate_ = 192;

  // LAME, opened by the constructor for the component's whole life.
  std::unique_ptr<const LameLib> library_;
  // Per run: set by PrepareOutput, then used by the worker after the framework's hand-over.
  bool inputBegun_ = false;
  std::unique_ptr<Encoder> encoder_;
  std::atomic<std::int32_t> writtenSampleRate_{0};
};

}  // namespace merolune
