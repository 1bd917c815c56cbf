#pragma once
// The FLAC pipeline components: TFLACIn decodes a FLAC file to PCM, TFLACOut encodes PCM as FLAC.

#include <atomic>
#include <cstdint>
#include <memory>

#include "ACS_Classes.h"

namespace merolune {

// Messages of the FLAC components.
inline constexpr char kFLACFileNameNotAssigned[] = "File name is not assigned";
inline constexpr char kFLACDecoderInitFailed[] = "Failed to initialize FLAC decoder.";
inline constexpr char kFLACReadError[] = "Error reading FLAC file";
inline constexpr char kFLACLostSync[] = "Sinc lost or corrupt data";
inline constexpr char kFLACSeekFailed[] = "Seek failed";
inline constexpr char kFLACEncoderInitFailed[] = "Failed to initialize FLAC encoder.";
inline constexpr char kFLACEncodeFailed[] = "Failed to encode data.";
// Followed by the file name ("(stream)" for an assigned stream).
inline constexpr char kFLACNotAFLACFile[] = "Not a FLAC file: ";
inline constexpr char kFLACUnsupportedFormat[] =
    "Unsupported FLAC format (only mono or stereo, 8, 16, 24 or 32 bits): ";
// Followed by the input's channels and bits.
inline constexpr char kFLACUnsupportedInput[] =
    "FLAC encoding takes mono or stereo PCM of 8, 16, 24 or 32 bits only, not ";

// Decodes a FLAC file (or an assigned stream) with libFLAC and hands out little-endian PCM of the
// stream's own width: 8 bits unsigned, 16, 24 or 32 bits signed; mono or stereo. It delivers exactly
// the STREAMINFO's sample count (Size is known in advance) and then 0 bytes; a stream that ends
// before that count is reported as corrupt rather than delivered short. When the STREAMINFO does not
// know the count (a streamed file) Size is -1 and everything that decodes is delivered, unless an
// EndSample makes Size known: a stream that ends before it is reported as corrupt too.
//
// Threads as TAuFileIn: the source is opened on the thread that begins reading (or asks the format),
// decoded on the output's worker. The libFLAC decoder lives from OpenSource to CloseSource.
//
// Throws EAuException: from the constructor "libFLAC.so.12 library could not be loaded." when
// libFLAC is unusable; from OpenSource "File name is not assigned", the file stream's own messages,
// "Failed to initialize FLAC decoder.", kFLACNotAFLACFile for an empty file or one without a FLAC header, and
// kFLACUnsupportedFormat for other widths or more channels; from ReadBlock the stream's read error,
// "Error reading FLAC file" and "Sinc lost or corrupt data"; from SeekSample "Seek failed".
class TFLACIn : public TAuFileIn {
  Q_OBJECT

 public:
  explicit TFLACIn(QObject* owner = nullptr);
  ~TFLACIn() override;
  TFLACIn(const TFLACIn&) = delete;
  TFLACIn& operator=(const TFLACIn&) = delete;

  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override;

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void SeekSample(std::int64_t sample) override;

 private:
  struct Impl;

  // Decodes the next frame into the buffer; false at the end of the data.
  bool Refill();

  std::unique_ptr<Impl> impl_;
};

// Encodes the PCM of its input (mono or stereo, 8, 16, 24 or 32 bits) as a FLAC file with libFLAC,
// one FLAC block per ProcessBlock. At the end the encoder rewrites the STREAMINFO (sample count,
// MD5) through the stream's seek, so the destination must be seekable.
//
// Settings (set on the UI thread while idle, read by PrepareOutput): with CompressionLevel -1 (any
// negative value) the detailed settings below go to libFLAC as they are (BlockSize 4608, maximum LPC
// order 0, that is fixed predictors only); a level 0..8 applies libFLAC's preset of that level with
// the level's own block size (1152 frames for 0..2, 4096 above), overriding all detailed settings.
//
// The destination is the assigned stream (SetStream: left to its owner), a stream handed over with
// AdoptStream (freed when the run ends), or FileName (opened and closed by the output).
//
// Errors end the run with the message in ErrorMessage: the constructor throws
// "libFLAC.so.12 library could not be loaded." when libFLAC is unusable; a failing write reports the
// stream's own message (for a file "Cannot write to file <path> (<reason>)"); libFLAC's own failures
// give "Failed to initialize FLAC encoder." and "Failed to encode data.".
class TFLACOut : public TAuFileOut {
  Q_OBJECT

 public:
  explicit TFLACOut(QObject* owner = nullptr);
  ~TFLACOut() override;
  TFLACOut(const TFLACOut&) = delete;
  TFLACOut& operator=(const TFLACOut&) = delete;

  // Have libFLAC decode every frame again while encoding and compare (a mismatch fails the run).
  bool Verify() const { return verify_.load(); }
  void SetVerify(bool verify) { verify_.store(verify); }
  // Frames per FLAC block for the detailed settings.
  std::uint16_t BlockSize() const { return blockSize_.load(); }
  void SetBlockSize(std::uint16_t frames) { blockSize_.store(frames); }
  // Exhaustive model search; true also turns mid-side stereo on and loose mid-side off.
  bool BestModelSearch() const { return bestModelSearch_.load(); }
  void SetBestModelSearch(bool search);
  bool EnableMidSideStereo() const { return midSide_.load(); }
  void SetEnableMidSideStereo(bool enable) { midSide_.store(enable); }
  // True also turns mid-side stereo on.
  bool EnableLooseMidSideStereo() const { return looseMidSide_.load(); }
  void SetEnableLooseMidSideStereo(bool enable);
  // -1: the detailed settings; 0..8: libFLAC's presets; above 8 is stored as 8.
  std::int32_t CompressionLevel() const { return compressionLevel_.load(); }
  void SetCompressionLevel(std::int32_t level);
  // Detailed settings, 0 meaning libFLAC's choice for the precision.
  std::uint16_t MaxLPCOrder() const { return maxLpcOrder_.load(); }
  void SetMaxLPCOrder(std::uint16_t order) { maxLpcOrder_.store(order); }
  std::uint16_t QLPCoeffPrecision() const { return qlpCoeffPrecision_.load(); }
  void SetQLPCoeffPrecision(std::uint16_t bits) { qlpCoeffPrecision_.store(bits); }
  bool QLPCoeffPrecisionSearch() const { return qlpCoeffPrecisionSearch_.load(); }
  void SetQLPCoeffPrecisionSearch(bool search) { qlpCoeffPrecisionSearch_.store(search); }
  std::uint16_t MinResidualPartitionOrder() const { return minResidualPartitionOrder_.load(); }
  void SetMinResidualPartitionOrder(std::uint16_t order) { minResidualPartitionOrder_.store(order); }
  std::uint16_t MaxResidualPartitionOrder() const { return maxResidualPartitionOrder_.load(); }
  void SetMaxResidualPartitionOrder(std::uint16_t order) { maxResidualPartitionOrder_.store(order); }

  // Takes over `stream`: the next run writes to it and frees it when that run finishes (also when it
  // fails). UI thread, while idle (a busy output throws EAuException "Component is Busy"); replaces
  // any stream assigned before. Null drops a stream adopted but not yet used.
  void AdoptStream(std::unique_ptr<merolune::Stream> stream);

 protected:
  void PrepareOutput() override;
  bool ProcessBlock(bool abort) override;
  void FinishOutput() override;

 private:
  struct Impl;

  std::atomic<bool> verify_{false};
  std::atomic<std::uint16_t> blockSize_{4608};
  std::atomic<bool> bestModelSearch_{false};
  std::atomic<bool> midSide_{true};
  std::atomic<bool> looseMidSide_{false};
  std::atomic<std::int32_t> compressionLevel_{-1};
  std::atomic<std::uint16_t> maxLpcOrder_{0};
  std::atomic<std::uint16_t> qlpCoeffPrecision_{0};
  std::atomic<bool> qlpCoeffPrecisionSearch_{false};
  std::atomic<std::uint16_t> minResidualPartitionOrder_{0};
  std::atomic<std::uint16_t> maxResidualPartitionOrder_{0};

  std::unique_ptr<Impl> impl_;
};

}  // namespace merolune
