#pragma once
// The Ogg Vorbis pipeline components: TVorbisIn decodes an Ogg Vorbis file, TVorbisOut encodes one.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ACS_Classes.h"

namespace merolune {

class OggVorbisLib;

// A bit rate for the encoder's managed mode; brAutoSelect leaves it to the encoder (and with the nominal
// rate selects quality-driven VBR instead). The others are the kbit/s their names say.
enum class TVorbisBitRate {
  brAutoSelect,
  br24,
  br32,
  br45,
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
  br320,
  br499
};

// The bit rate in bit/s; -1 for brAutoSelect.
std::int32_t VorbisBitRateBps(TVorbisBitRate rate);

// The comments of an Ogg Vorbis file that the program reads and writes. Strings are UTF-8; Track 0
// means not set.
struct TOggTags {
  std::string Album;
  std::string Artist;
  std::string Date;
  std::string Genre;
  std::string Title;
  std::int32_t Track = 0;

  bool operator==(const TOggTags&) const = default;
};

// Decodes an Ogg Vorbis file (or an assigned stream) with vorbisfile and hands out 16-bit signed
// little-endian PCM, interleaved as the file's channels, TotalSamples() frames when that is known
// (vorbisfile trims the stream to its granule positions, so a TWaveOut fed from it writes a header that
// matches) and otherwise whatever decodes.
//
// Format queries, BeginRead and Tags run on the UI thread; ReadBlock, EndRead on the output's worker
// (see TAuInput). The assigned stream stays its owner's and is rewound on close.
//
// Throws EAuException: from the constructor when a library is missing ("libogg.so.0 library could not
// be loaded." and so on); from OpenSource "Failed to open an ogg file: <code>" for a source that is
// not Ogg Vorbis (vorbisfile's code, e.g. -132), and a message for a chained file whose parts differ in
// channels or rate; from ReadBlock the stream's own read error, "Failed to decode an ogg file:
// <code>", and "Failed to decode an ogg file: no audio could be decoded from it" when not one sample
// decodes from a stream that does not state a length of 0 (its last page's granule position). A
// named file that cannot be opened leaves the input not Valid and empty instead.
//
// Size and TotalSamples are unknown (-1) when the stated length is not a usable one: a stream that
// cannot be seeked in, a last granule position of -1, or one so large that its bytes would not fit
// a 64-bit count.
class TVorbisIn : public TAuFileIn {
  Q_OBJECT

 public:
  explicit TVorbisIn(QObject* owner = nullptr);
  ~TVorbisIn() override;

  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override;

  // The comments of the source opened last: artist, album, title, date, genre and track (from
  // "track" or "tracknumber"), names compared in any letter case.
  TOggTags Tags() const;
  // The bit rates the stream's header states, bit/s; 0 or less when it states none.
  std::int32_t MaximumBitrate() const { return maximumBitrate_.load(); }
  std::int32_t NominalBitrate() const { return nominalBitrate_.load(); }
  std::int32_t MinimumBitrate() const { return minimumBitrate_.load(); }
  // The length in seconds, to the nearest second; 0 when unknown.
  std::int32_t TotalTime() const { return totalTime_.load(); }

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void SeekSample(std::int64_t sample) override;

 private:
  struct Decoder;
  static constexpr std::int32_t kBufferSize = 8192;

  // Decodes the next whole frames into buffer_; false at the end of the data.
  bool Refill();

  // The four Ogg Vorbis libraries, opened by the constructor for the component's whole life.
  std::unique_ptr<const OggVorbisLib> library_;
  std::unique_ptr<Decoder> decoder_;  // while the source is open
  bool endOfData_ = false;            // reading thread only
  // Whether the data may end without a single sample: the stream states a length of 0, something
  // decoded already, or the range starts past the beginning. Reading thread (and OpenSource) only.
  bool emptyAllowed_ = false;
  std::int32_t streamNumber_ = -1;    // the logical stream ov_read reported last
  std::atomic<std::int32_t> maximumBitrate_{0};
  std::atomic<std::int32_t> nominalBitrate_{0};
  std::atomic<std::int32_t> minimumBitrate_{0};
  std::atomic<std::int32_t> totalTime_{0};
  mutable std::mutex tagsMutex_;
  TOggTags tags_;  // guarded by tagsMutex_
  std::array<std::uint8_t, kBufferSize> buffer_{};
};

// Encodes the PCM of its input (8, 16, 24 or 32-bit, any channel count the encoder takes) as an Ogg
// Vorbis stream: quality-driven VBR at Compression when DesiredNominalBitrate is brAutoSelect, else
// the encoder's managed mode at the chosen bit rates. The Comments are written as the stream's comment
// header and cleared when the run ends (set them for each file). The last page carries the
// end-of-stream flag.
//
// The setters run on the UI thread while the output is idle; Comments and SetComments are safe from
// any thread. Errors end the output with their message in ErrorMessage (see TAuOutput):
// "Vorbis codec setup with the requested bitrate failed. Try lower bitrate" for a managed bit rate the
// encoder refuses, "Vorbis codec setup with the requested quality failed: ..." for a Compression it
// refuses (below -0.1, not a number, or a rate it has no mode for), the stream's write error. The
// constructor throws EAuException when a library is missing.
class TVorbisOut : public TAuFileOut {
  Q_OBJECT

 public:
  explicit TVorbisOut(QObject* owner = nullptr);
  ~TVorbisOut() override;

  // The VBR quality, -0.1 (smallest) to 1.0 (best); 0.2 after construction.
  float Compression() const { return compression_.load(); }
  void SetCompression(float compression) { compression_.store(compression); }
  TOggTags Comments() const;
  void SetComments(const TOggTags& comments);
  TVorbisBitRate DesiredNominalBitrate() const { return nominalBitrate_.load(); }
  void SetDesiredNominalBitrate(TVorbisBitRate rate) { nominalBitrate_.store(rate); }
  TVorbisBitRate DesiredMaximumBitrate() const { return maximumBitrate_.load(); }
  void SetDesiredMaximumBitrate(TVorbisBitRate rate) { maximumBitrate_.store(rate); }
  // In managed mode brAutoSelect here means the nominal rate.
  TVorbisBitRate MinimumBitrate() const { return minimumBitrate_.load(); }
  void SetMinimumBitrate(TVorbisBitRate rate) { minimumBitrate_.store(rate); }
  // The Ogg stream serial number of the pages written; 0 after construction.
  std::int32_t Serial() const { return serial_.load(); }
  void SetSerial(std::int32_t serial) { serial_.store(serial); }
  // Accepts foAppend: the stream then goes after what the file holds (a chained Ogg file).
  void SetFileMode(TFileOutputMode mode) override;

 protected:
  void PrepareOutput() override;
  bool ProcessBlock(bool abort) override;
  void FinishOutput() override;

 private:
  struct Encoder;
  static constexpr std::int32_t kBlockBytes = 32768;

  // The four Ogg Vorbis libraries, opened by the constructor for the component's whole life.
  std::unique_ptr<const OggVorbisLib> library_;
  std::atomic<float> compression_{0.2F};
  std::atomic<TVorbisBitRate> nominalBitrate_{TVorbisBitRate::brAutoSelect};
  std::atomic<TVorbisBitRate> maximumBitrate_{TVorbisBitRate::brAutoSelect};
  std::atomic<TVorbisBitRate> minimumBitrate_{TVorbisBitRate::brAutoSelect};
  std::atomic<std::int32_t> serial_{0};
  mutable std::mutex commentsMutex_;
  TOggTags comments_;  // guarded by commentsMutex_
  // Per run: created by PrepareOutput, used by the worker after the framework's hand-over.
  std::unique_ptr<Encoder> encoder_;
  bool inputBegun_ = false;
};

}  // namespace merolune
