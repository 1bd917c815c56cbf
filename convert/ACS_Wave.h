#pragma once
// The RIFF/WAVE pipeline components: TWaveIn reads a PCM WAV file, TWaveOut writes one.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "ACS_Classes.h"

namespace merolune {

// The kind of a WAV file's audio, decided by the format tag of its "fmt " chunk: 1 PCM, 17 IMA/DVI
// ADPCM, 2 Microsoft ADPCM, 85 MPEG layer 3; anything else is unsupported.
enum class TWavType { wtUnsupported, wtPCM, wtDVIADPCM, wtMSADPCM, wtACM };

// Reads a WAV file (or an assigned stream) and hands out PCM: PCM with 8, 16, 24 or 32 bits per sample
// as it is stored, IMA/DVI ADPCM (tag 17) and Microsoft ADPCM (tag 2) decoded to 16 bits, and MPEG
// layer 3 (tag 85, kind wtACM) converted as a whole to 16-bit PCM in memory by TWaveConverter when the
// source is opened (see there for its length and alignment); that image is read instead of the source
// until CloseSource drops it. Every other kind, PCM frames wider than 16384 bytes (more than 4096
// channels of 32 bits), and a tag-85 file that does not decode, make
// OpenSource throw with Valid false, so a pipeline fed from it ends with the message in ErrorMessage.
// The data is the "data" chunk's bytes, cut at the end of the file (and for PCM to whole frames); chunks
// after it are never read as audio. ADPCM delivers the "fact" chunk's sample count, or without one what
// the blocks hold.
class TWaveIn : public TAuFileIn {
  Q_OBJECT

 public:
  explicit TWaveIn(QObject* owner = nullptr);
  ~TWaveIn() override;

  void ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) override;
  // What the header of the open source (or the last one opened) said.
  TWavType WavType() const { return kind_.load(); }

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void SeekSample(std::int64_t sample) override;

 private:
  static constexpr std::int32_t kBufferSize = 16384;

  // Fills the buffer with the next whole frames of the data chunk; false at its end.
  bool Refill();
  // Where ReadBlock hands out from: the raw buffer for PCM, the decoded block for ADPCM.
  const std::uint8_t* Data() const;
  // Reads the next ADPCM block and decodes it into pcm_; the frames it gave (0 at the end).
  std::int32_t DecodeBlock();
  std::int32_t DecodeImaBlock(const std::uint8_t* block, std::uint32_t length, std::int16_t* out);
  std::int32_t DecodeMsBlock(const std::uint8_t* block, std::uint32_t length, std::int16_t* out);

  // Whether the kind is read as plain PCM from source_ (PCM files and the converted MPEG image).
  bool ReadsPcm() const;

  std::atomic<TWavType> kind_{TWavType::wtUnsupported};
  std::unique_ptr<TAuFileStream> ownStream_;  // the file when no stream was assigned
  merolune::Stream* source_ = nullptr;        // what is read: ownStream_, the assigned stream or image_
  std::uint64_t dataStart_ = 0;               // stream offset of the first data byte
  std::uint64_t dataBytes_ = 0;               // whole frames of data the file really holds
  std::uint64_t dataRead_ = 0;                // data bytes taken from the stream so far
  // wtACM only: the converted PCM as a WAV file in memory, and the stream it came from (ownStream_ or
  // the assigned one), put back when the source is closed.
  std::unique_ptr<MemoryStream> image_;
  merolune::Stream* original_ = nullptr;
  std::array<std::uint8_t, kBufferSize> buffer_{};
  // ADPCM only: the block layout from the "fmt " chunk, the coefficient pairs of Microsoft ADPCM, the
  // frames delivered by the blocks read so far, and the buffers for one block (sized when opening,
  // so that reading allocates nothing).
  std::uint16_t blockAlign_ = 0;
  std::uint16_t samplesPerBlock_ = 0;
  std::vector<std::array<std::int16_t, 2>> coefficients_;
  std::int64_t framesDecoded_ = 0;
  std::int64_t fileFrames_ = 0;   // frames the whole file delivers
  std::int64_t pendingSkip_ = 0;  // frames of the next decoded block that SeekSample passed over
  std::vector<std::uint8_t> block_;
  std::vector<std::int16_t> pcm_;
  std::vector<std::uint8_t> pcmBytes_;  // pcm_ as little-endian bytes, what ReadBlock hands out
};

// Writes the PCM of its input as a WAV file with the canonical 44-byte header. The header's data
// length is the input's predicted Size; when the input cannot predict it (negative Size), or predicts
// more than the header can hold, the lengths are patched from the real file length at the end.
//
// WavType accepts wtPCM and wtDVIADPCM (only while idle), BlockSize any value, FileMode foAppend; they
// are stored and reported back, but this implementation always writes PCM, and with foAppend it
// refuses ("Cannot append data to this .wav file.") to touch a destination that already holds data
// rather than overwrite it. Write errors end the output with their message in ErrorMessage.
class TWaveOut : public TAuFileOut {
  Q_OBJECT

 public:
  explicit TWaveOut(QObject* owner = nullptr);
  ~TWaveOut() override;

  TWavType WavType() const { return wavType_.load(); }
  void SetWavType(TWavType type);
  std::uint16_t BlockSize() const { return blockSize_.load(); }
  void SetBlockSize(std::uint16_t size) { blockSize_.store(size); }
  void SetFileMode(TFileOutputMode mode) override;

 protected:
  void PrepareOutput() override;
  bool ProcessBlock(bool abort) override;
  void FinishOutput() override;

 private:
  static constexpr std::int32_t kBlockBytes = 16384;

  std::atomic<TWavType> wavType_{TWavType::wtPCM};
  std::atomic<std::uint16_t> blockSize_{512};
  // Per run, set by PrepareOutput and read by the worker after the framework's hand-over.
  bool inputBegun_ = false;
  bool headerWritten_ = false;
  bool lengthUnknown_ = false;
};

}  // namespace merolune
