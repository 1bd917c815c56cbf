#pragma once
// Turns the MPEG layer 3 audio inside a WAV file (format tag 85) into a 16-bit PCM WAV image in memory.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ACS_Classes.h"

namespace merolune {

// A whole-file converter for TWaveIn: LoadFromStream takes the "fmt " chunk and the compressed "data"
// bytes of a RIFF/WAVE stream, Convert decodes them with libmpg123 to 16-bit signed PCM at the rate and
// channel count the "fmt " chunk declares (mono frames in a stereo file are doubled, and the like), and
// SaveWavImage hands the PCM out behind a canonical 44-byte PCM header.
//
// Length and alignment. A WAV carries no LAME info frame, so libmpg123 cannot trim the encoder's delay
// and padding and hands out every decoded sample, as ffmpeg does: the music starts encoder delay +
// decoder delay frames late. Convert lines the result up with the original instead. When the "fact"
// chunk gives a count (not 0) smaller than what was decoded, the decode is cut there first: writers
// (ffmpeg's wav muxer) count the delay in it, so it marks the end of the real audio in the decoder's
// timeline. Then the first LAME encoder delay (576) plus libmpg123's decoder delay (529 for layer 3)
// frames are dropped; LAME is what writes MPEG audio into WAV files today. For an ffmpeg-made file the
// result is exactly the original's frames at lag 0. Should the data ever carry an info frame after all,
// libmpg123 trims by it and nothing more is dropped.
//
// Memory: the compressed bytes are held until Convert ends, the decoded PCM once (it is decoded into
// blocks that are moved into the image one by one, each freed as soon as it is copied).
//
// Not thread-safe; TWaveIn uses it inside OpenSource only. Throws EAuException with a message saying
// what is wrong (no MPEG layer 3 in a usable WAV, libmpg123 failing, no frames at all), and whatever
// the stream throws.
class TWaveConverter {
 public:
  TWaveConverter();
  ~TWaveConverter();
  TWaveConverter(const TWaveConverter&) = delete;
  TWaveConverter& operator=(const TWaveConverter&) = delete;

  // Reads the stream from its start: "RIFF", "WAVE" (any letter case), then the chunks up to "data".
  // The "fmt " chunk (at least 16 bytes, format tag 85, 1 or 2 channels) is kept, "fact" gives the
  // sample count per channel, "data" (cut at the end of the stream) becomes the compressed bytes.
  void LoadFromStream(Stream& stream);
  // Decodes what LoadFromStream kept; afterwards the format is PCM (tag 1, 16 bits) and the
  // compressed bytes are gone.
  void Convert();
  // The converted PCM as a WAV file in memory: the 44-byte header, then the samples. The converter
  // holds nothing afterwards. Throws EAuException before a successful Convert.
  std::unique_ptr<MemoryStream> SaveWavImage();

  // The declared format, valid after LoadFromStream.
  std::uint16_t Channels() const { return channels_; }
  std::uint32_t SampleRate() const { return sampleRate_; }
  // Frames of PCM after Convert.
  std::int64_t Frames() const { return frames_; }

 private:
  // The current format: the "fmt " chunk as loaded (tag 85), after Convert the PCM format (tag 1).
  std::vector<std::uint8_t> format_;
  std::uint16_t channels_ = 0;
  std::uint32_t sampleRate_ = 0;
  std::optional<std::uint32_t> factFrames_;
  std::vector<std::uint8_t> compressed_;
  // After Convert: room for the header, then the PCM.
  std::vector<std::uint8_t> image_;
  std::int64_t frames_ = 0;
  bool converted_ = false;
};

}  // namespace merolune
