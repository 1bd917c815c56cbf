#pragma once
// The Monkey's Audio pipeline components over libmacdll.so: TMACIn decodes an .ape file to PCM,
// TMACOut encodes PCM as an .ape file; TAPECompress and TAPEDecompress hold one library handle each.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "ACS_Classes.h"

// libmacdll's handles (macdll.h), opaque here.
struct MacCompressor;
struct MacDecompressor;

namespace merolune {

struct MacDllEntryPoints;
class MacDllLib;

// "MACDll error: " followed by the text of a library error code (MacErrorText).
class EAPEException : public EAuException {
 public:
  explicit EAPEException(std::int32_t code);
  std::int32_t Code() const { return code_; }

 private:
  std::int32_t code_;
};

// Messages of the Monkey's Audio components. The ones ending in a space are followed by a number or a text.
// Followed by the code's text (and for a failed write ": " and the system's reason).
inline constexpr char kApeStartFailed[] = "Error starting APECompress.\r\n";
// Followed by the library's code, and for a failed write the system's reason in parentheses.
inline constexpr char kApeUnlockFailed[] = "APECompress.UnlockBuffer Error: ";
inline constexpr char kApeLockFailed[] = "APECompress.LockBuffer Error: no room for the audio";
// Followed by the library's code and its text (with the system's reason) in parentheses.
inline constexpr char kApeFinishFailed[] = "APECompress.Finish Error: ";
inline constexpr char kApeReadsFilesOnly[] =
    "The Monkey's Audio library reads files by name only, not streams";
// Followed by the counts: "<delivered> of <stated> samples".
inline constexpr char kApeStreamShort[] = "The Monkey's Audio stream ended early: it gave ";
inline constexpr char kApeStreamLong[] =
    "The Monkey's Audio stream holds more audio than its header states: ";

// One compressor of the library, from Create to Destroy. Throws EAPEException when the library
// cannot make one. The other calls answer the library's codes as they are.
class TAPECompress {
 public:
  explicit TAPECompress(const MacDllEntryPoints& api);
  ~TAPECompress();
  TAPECompress(const TAPECompress&) = delete;
  TAPECompress& operator=(const TAPECompress&) = delete;

  // Starts the file `path` for PCM of that format; no stored WAV header.
  std::int32_t Start(const std::string& path, std::int32_t sampleRate, std::int32_t bits,
                     std::int32_t channels, std::int32_t maxAudioBytes, std::int32_t level);
  unsigned char* LockBuffer(std::int32_t& bytesAvailable);
  std::int32_t UnlockBuffer(std::int32_t bytesAdded);
  std::int32_t Finish();

 private:
  const MacDllEntryPoints& api_;
  MacCompressor* handle_ = nullptr;
};

// One decompressor of the library, from CreateW to Destroy. Throws EAPEException when the library
// refuses the file with a code; a file refused without one leaves Handle() null.
class TAPEDecompress {
 public:
  // `path` is UTF-8; the library takes it as a wide string.
  TAPEDecompress(const MacDllEntryPoints& api, const std::string& path);
  ~TAPEDecompress();
  TAPEDecompress(const TAPEDecompress&) = delete;
  TAPEDecompress& operator=(const TAPEDecompress&) = delete;

  bool Usable() const { return handle_ != nullptr; }
  std::int64_t Info(std::int32_t field) const;
  // Up to `blocks` frames into `buffer`; `retrieved` gets the count. The library's code.
  std::int32_t GetData(std::uint8_t* buffer, std::int32_t blocks, std::int32_t& retrieved);
  std::int32_t Seek(std::int32_t block);

 private:
  const MacDllEntryPoints& api_;
  MacDecompressor* handle_ = nullptr;
};

// Decodes a Monkey's Audio file, named by FileName (the library opens files itself: an assigned
// stream is refused), and hands out the PCM in the WAV layout at the file's own width: 8 bits
// unsigned, 16 or 24 bits signed; mono or stereo. It delivers exactly the header's sample count and
// then 0 bytes: a stream that ends before it, or holds more, is reported rather than delivered short
// or cut.
//
// Threads as TAuFileIn: opened on the thread that begins reading (or asks the format), decoded on the
// output's worker. The decompressor lives from OpenSource to CloseSource.
//
// Throws: from the constructor EAuException "libmacdll.so library could not be loaded." when the
// library is unusable; from OpenSource EAPEException ("MACDll error: invalid input file" and so on)
// for a file the library refuses, and kApeReadsFilesOnly for an assigned stream; from ReadBlock
// EAPEException "MACDll error: decompressing frame" for damaged audio and kApeStreamShort /
// kApeStreamLong when the length disagrees with the header.
class TMACIn : public TAuFileIn {
  Q_OBJECT

 public:
  explicit TMACIn(QObject* owner = nullptr);
  ~TMACIn() override;
  TMACIn(const TMACIn&) = delete;
  TMACIn& operator=(const TMACIn&) = delete;

  // The length the library states in milliseconds, in whole seconds (0 without a usable file).
  std::int32_t GetTotalSeconds() override;
  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override;

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void SeekSample(std::int64_t sample) override;

 private:
  static constexpr std::int32_t kBufferSize = 8192;

  // Decodes into the buffer up to its last whole frame; false at the end of the data.
  bool Refill();

  std::unique_ptr<const MacDllLib> library_;
  std::unique_ptr<TAPEDecompress> decompressor_;
  std::int32_t frameBytes_ = 0;
  std::int64_t fileFrames_ = 0;  // the header's sample count
  std::int64_t nextFrame_ = 0;   // the frame of the file the next decoded one is
  bool endOfData_ = false;
  std::array<std::uint8_t, kBufferSize> buffer_{};
};

// Encodes the PCM of its input as a Monkey's Audio file named by FileName (the library writes files
// itself: an assigned stream is not used). The library takes 16-bit stereo PCM; other input ends the
// run with its code's text. The file appears under its name only when it is complete: a failed or
// stopped run leaves no file behind.
//
// Settings (UI thread, while idle): CompressionLevel 1000, 2000, 3000 or 4000 (anything else is
// stored as 2000; 2000 at first), MaxAudioBytes the most PCM the file will get (-1: unknown).
//
// Errors end the run with the message in ErrorMessage: the constructor throws EAuException
// "libmacdll.so library could not be loaded."; PrepareOutput "File name is not assigned.",
// EAPEException when no compressor can be made, and kApeStartFailed followed by the code's text;
// ProcessBlock kApeUnlockFailed followed by the code; FinishOutput kApeFinishFailed with the code.
class TMACOut : public TAuFileOut {
  Q_OBJECT

 public:
  explicit TMACOut(QObject* owner = nullptr);
  ~TMACOut() override;
  TMACOut(const TMACOut&) = delete;
  TMACOut& operator=(const TMACOut&) = delete;

  std::int32_t CompressionLevel() const { return compressionLevel_.load(); }
  void SetCompressionLevel(std::int32_t level);
  std::int32_t MaxAudioBytes() const { return maxAudioBytes_.load(); }
  void SetMaxAudioBytes(std::int32_t bytes) { maxAudioBytes_.store(bytes); }

 protected:
  void PrepareOutput() override;
  bool ProcessBlock(bool abort) override;
  void FinishOutput() override;

 private:
  static constexpr std::int32_t kBlockBytes = 65536;

  std::atomic<std::int32_t> compressionLevel_{2000};
  std::atomic<std::int32_t> maxAudioBytes_{-1};

  std::unique_ptr<const MacDllLib> library_;
  // The run's state: set up by PrepareOutput, used by the worker, released by FinishOutput.
  std::unique_ptr<TAPECompress> compressor_;
  bool inputBegun_ = false;
  bool endOfInput_ = false;
  bool complete_ = false;  // every block went to the library: Finish may make the file
  std::int32_t frameBytes_ = 0;
  std::array<std::uint8_t, kBlockBytes> buffer_{};
};

}  // namespace merolune
