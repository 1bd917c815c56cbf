// libmacdll.so: Monkey's Audio compression over our encoder core and decompression over FFmpeg's
// ape demuxer and decoder, behind the C entry points of macdll.h.

#include "macdll.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "ApeEncoder.h"
#include "ApeHeader.h"
#include "FfmpegHandles.h"
#include "PendingFile.h"

static_assert(sizeof(MacWaveFormat) == 18, "the record has the platform's WAVEFORMATEX layout");
// Decoded samples are handed out as they lie in memory.
static_assert(std::endian::native == std::endian::little, "WAV data is little-endian");

namespace merolune {

namespace {

// ---- Compression

constexpr std::uint16_t kPcmFormatTag = 1;
// One frame of PCM at levels 1000 to 3000: the encoder codes a frame whenever one is complete, so a
// buffer of this size hands it whole frames.
constexpr std::size_t kCompressBufferBytes = 73728 * 4;

// Thrown by the file output; the encoder passes it on untouched.
class WriteError : public std::runtime_error {
 public:
  WriteError() : std::runtime_error("write error") {}
};

// The encoder's output, a file that gets the destination's name only when complete.
class PendingApeFile final : public ApeOutput {
 public:
  bool Create(const std::string& destination) { return file_.Create(destination); }

  void Append(const std::uint8_t* bytes, std::size_t size) override {
    std::FILE* stream = file_.Stream();
    if (!stream || std::fwrite(bytes, 1, size, stream) != size) throw WriteError();
  }

  void Overwrite(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) override {
    std::FILE* stream = file_.Stream();
    if (!stream || fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fwrite(bytes, 1, size, stream) != size || fseeko(stream, 0, SEEK_END) != 0) {
      throw WriteError();
    }
  }

  // Closes the file and gives it the destination's name. False (and the file removed) on an error.
  bool Commit() { return file_.Commit(); }
  void Discard() noexcept { file_.Discard(); }

 private:
  PendingFile file_;
};

// What c_APECompress_Start checks before the encoder sees the format: the codes callers show.
std::int32_t CheckFormat(const MacWaveFormat& format) {
  if (format.FormatTag != kPcmFormatTag) return MAC_ERROR_BAD_PARAMETER;
  if (format.BitsPerSample != 16) return MAC_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH;
  if (format.Channels != 2) return MAC_ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT;
  if (format.SamplesPerSecond == 0) return MAC_ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE;
  if (format.BlockAlign != format.Channels * format.BitsPerSample / 8) return MAC_ERROR_BAD_PARAMETER;
  return MAC_ERROR_SUCCESS;
}

class Compressor {
 public:
  std::int32_t Start(const char* path, const MacWaveFormat* format, std::int32_t maxAudioBytes,
                     std::int32_t level, const void* header, std::int32_t headerBytes) {
    if (encoder_ || failed_ || !path || !format) return MAC_ERROR_BAD_PARAMETER;
    if (const std::int32_t checked = CheckFormat(*format); checked != MAC_ERROR_SUCCESS) return checked;
    if (maxAudioBytes < -1 || headerBytes < -1 || (!header && headerBytes > 0)) return MAC_ERROR_BAD_PARAMETER;

    ApeEncoderSettings settings;
    settings.Level = level;
    settings.SampleRate = format->SamplesPerSecond;
    settings.Channels = format->Channels;
    settings.BitsPerSample = format->BitsPerSample;
    settings.MaxAudioBytes = maxAudioBytes;
    if (header && headerBytes > 0) {
      settings.WavHeader = {static_cast<const std::uint8_t*>(header), static_cast<std::size_t>(headerBytes)};
    }
    auto file = std::make_unique<PendingApeFile>();
    if (!file->Create(path)) return MAC_ERROR_INVALID_OUTPUT_FILE;
    try {
      encoder_ = std::make_unique<ApeEncoder>(*file, settings);
    } catch (const std::invalid_argument&) {
      // A level other than 1000 to 4000, a header over 1 MiB or a bound below one block.
      return MAC_ERROR_BAD_PARAMETER;
    } catch (const WriteError&) {
      return MAC_ERROR_IO_WRITE;
    }
    file_ = std::move(file);
    maxAudioBytes_ = maxAudioBytes;
    buffer_.resize(kCompressBufferBytes);
    return MAC_ERROR_SUCCESS;
  }

  unsigned char* Lock(std::int32_t* bytesAvailable) {
    const bool usable = encoder_ && !failed_;
    if (bytesAvailable) *bytesAvailable = usable ? static_cast<std::int32_t>(buffer_.size() - filled_) : 0;
    return usable ? buffer_.data() + filled_ : nullptr;
  }

  std::int32_t Unlock(std::int32_t bytesAdded, bool process) {
    if (!encoder_ || failed_ || bytesAdded < 0 || static_cast<std::size_t>(bytesAdded) > buffer_.size() - filled_) {
      return MAC_ERROR_BAD_PARAMETER;
    }
    if (maxAudioBytes_ >= 0 && received_ + bytesAdded > maxAudioBytes_) return MAC_ERROR_APE_COMPRESS_TOO_MUCH_DATA;
    filled_ += static_cast<std::size_t>(bytesAdded);
    received_ += bytesAdded;
    if (process || filled_ == buffer_.size()) return Code();
    return MAC_ERROR_SUCCESS;
  }

  std::int32_t Finish(const unsigned char* terminating, std::int32_t terminatingBytes,
                      std::int32_t wavTerminatingBytes) {
    if (!encoder_ || failed_ || terminating || terminatingBytes != 0 || wavTerminatingBytes != 0) {
      return MAC_ERROR_BAD_PARAMETER;
    }
    if (const std::int32_t coded = Code(); coded != MAC_ERROR_SUCCESS) return coded;
    // A file needs at least one block; a piece of a block at the end is not audio either.
    if (encoder_->BlocksWritten() == 0) return Fail(MAC_ERROR_INPUT_FILE_TOO_SMALL);
    if (received_ % 4 != 0) return Fail(MAC_ERROR_BAD_PARAMETER);
    try {
      encoder_->Finish();
    } catch (const WriteError&) {
      return Fail(MAC_ERROR_IO_WRITE);
    } catch (const std::length_error&) {
      return Fail(MAC_ERROR_APE_COMPRESS_TOO_MUCH_DATA);
    }
    encoder_.reset();
    failed_ = true;  // finished: nothing more may be added
    return file_->Commit() ? MAC_ERROR_SUCCESS : MAC_ERROR_IO_WRITE;
  }

 private:
  // Hands the collected bytes to the encoder.
  std::int32_t Code() {
    try {
      encoder_->Write(buffer_.data(), filled_);
    } catch (const WriteError&) {
      return Fail(MAC_ERROR_IO_WRITE);
    } catch (const std::length_error&) {
      return Fail(MAC_ERROR_APE_COMPRESS_TOO_MUCH_DATA);
    }
    filled_ = 0;
    return MAC_ERROR_SUCCESS;
  }

  // The encoder cannot go on after an error: the compressor refuses further calls and the partial
  // file goes.
  std::int32_t Fail(std::int32_t code) {
    failed_ = true;
    encoder_.reset();
    if (file_) file_->Discard();
    return code;
  }

  // Declared before the encoder, which writes to it, so that it outlives it.
  std::unique_ptr<PendingApeFile> file_;
  std::unique_ptr<ApeEncoder> encoder_;
  std::vector<unsigned char> buffer_;
  std::size_t filled_ = 0;
  std::int64_t received_ = 0;
  std::int64_t maxAudioBytes_ = -1;
  bool failed_ = false;
};

// ---- Decompression

// wchar_t holds UTF-32 code points on Linux; file names are taken as UTF-8. Empty for a value that
// is no character.
std::string Utf8(const wchar_t* wide) {
  std::string text;
  for (; *wide; ++wide) {
    const auto c = static_cast<std::uint32_t>(*wide);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {};
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xC0 | c >> 6);
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      text += static_cast<char>(0xE0 | c >> 12);
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | c >> 18);
      text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

// MAC_ERROR_SUCCESS when `path` starts like a Monkey's Audio file and is long enough for what its
// header says precedes the audio.
std::int32_t CheckHeader(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return MAC_ERROR_INVALID_INPUT_FILE;
  std::uint8_t head[kApeHeadBytes];
  const std::size_t read = std::fread(head, 1, sizeof head, file);
  const bool sized = fseeko(file, 0, SEEK_END) == 0;
  const off_t size = sized ? ftello(file) : -1;
  std::fclose(file);
  if (size < 0) return MAC_ERROR_INVALID_INPUT_FILE;
  switch (CheckApeHead(std::span(head, read), static_cast<std::uint64_t>(size))) {
    case ApeHead::Usable: return MAC_ERROR_SUCCESS;
    case ApeHead::NotMonkeysAudio: return MAC_ERROR_UNSUPPORTED_FILE_TYPE;
    case ApeHead::Unusable: break;
  }
  return MAC_ERROR_INVALID_INPUT_FILE;
}

class Decompressor {
 public:
  std::int32_t Open(const std::string& path) {
    if (const std::int32_t header = CheckHeader(path); header != MAC_ERROR_SUCCESS) return header;
    input_ = OpenInputFile(path, "ape");
    // A header FFmpeg refuses: a version outside 3800 to 3990, no frames, a short seek table...
    if (!input_) return MAC_ERROR_INVALID_INPUT_FILE;
    // The audio is the first stream; a cover in the file's APEv2 tag comes as a picture stream after it.
    if (input_->nb_streams < 1 || input_->streams[0]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
      return MAC_ERROR_INVALID_INPUT_FILE;
    }
    stream_ = input_->streams[0];
    const AVCodecParameters& parameters = *stream_->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(parameters.codec_id);
    if (!decoder) return MAC_ERROR_UNSUPPORTED_FILE_TYPE;
    codec_.reset(avcodec_alloc_context3(decoder));
    if (!codec_) return MAC_ERROR_INSUFFICIENT_MEMORY;
    if (avcodec_parameters_to_context(codec_.get(), &parameters) < 0) return MAC_ERROR_INVALID_INPUT_FILE;
    // Without these FFmpeg decodes a damaged frame into noise without a word.
    codec_->err_recognition = AV_EF_CRCCHECK | AV_EF_EXPLODE;
    // Refuses more than two channels, a bit depth other than 8, 16 or 24, an unknown level.
    if (avcodec_open2(codec_.get(), decoder, nullptr) < 0) return MAC_ERROR_UNSUPPORTED_FILE_TYPE;

    channels_ = codec_->ch_layout.nb_channels;
    bits_ = parameters.bits_per_coded_sample;
    rate_ = parameters.sample_rate;
    totalBlocks_ = stream_->duration;
    if (channels_ < 1 || channels_ > 2 || rate_ <= 0 || totalBlocks_ <= 0) return MAC_ERROR_INVALID_INPUT_FILE;
    if (bits_ != 8 && bits_ != 16 && bits_ != 24) return MAC_ERROR_UNSUPPORTED_FILE_TYPE;
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) return MAC_ERROR_INSUFFICIENT_MEMORY;
    return MAC_ERROR_SUCCESS;
  }

  std::intptr_t Info(std::int32_t field) const {
    const std::int64_t blockAlign = channels_ * bits_ / 8;
    switch (field) {
      case MAC_INFO_FILE_VERSION: return Extradata16(0);
      case MAC_INFO_COMPRESSION_LEVEL: return Extradata16(2);
      case MAC_INFO_FORMAT_FLAGS: return Extradata16(4);
      case MAC_INFO_SAMPLE_RATE: return rate_;
      case MAC_INFO_BITS_PER_SAMPLE: return bits_;
      case MAC_INFO_BYTES_PER_SAMPLE: return bits_ / 8;
      case MAC_INFO_CHANNELS: return channels_;
      case MAC_INFO_BLOCK_ALIGN: return static_cast<std::intptr_t>(blockAlign);
      case MAC_INFO_BLOCKS_PER_FRAME: return static_cast<std::intptr_t>(BlocksPerFrame());
      case MAC_INFO_FINAL_FRAME_BLOCKS:
        return static_cast<std::intptr_t>(totalBlocks_ - (TotalFrames() - 1) * BlocksPerFrame());
      case MAC_INFO_TOTAL_FRAMES: return static_cast<std::intptr_t>(TotalFrames());
      case MAC_INFO_WAV_DATA_BYTES:
      case MAC_INFO_WAV_TOTAL_BYTES: return static_cast<std::intptr_t>(totalBlocks_ * blockAlign);
      case MAC_INFO_TOTAL_BLOCKS:
      case MAC_DECOMPRESS_TOTAL_BLOCKS: return static_cast<std::intptr_t>(totalBlocks_);
      case MAC_INFO_LENGTH_MS:
      case MAC_DECOMPRESS_LENGTH_MS: return static_cast<std::intptr_t>(Milliseconds(totalBlocks_));
      case MAC_DECOMPRESS_CURRENT_BLOCK: return static_cast<std::intptr_t>(position_);
      case MAC_DECOMPRESS_CURRENT_MS: return static_cast<std::intptr_t>(Milliseconds(position_));
      default: return -1;
    }
  }

  std::int32_t GetData(char* buffer, std::int32_t blocks, std::int32_t* retrieved) {
    if (retrieved) *retrieved = 0;
    if (!buffer || blocks < 0 || !retrieved) return MAC_ERROR_BAD_PARAMETER;
    if (failure_ != MAC_ERROR_SUCCESS) return failure_;
    const std::size_t blockAlign = static_cast<std::size_t>(channels_ * bits_ / 8);
    std::int32_t delivered = 0;
    while (delivered < blocks && position_ < totalBlocks_) {
      if (frameNext_ == frameEnd_) {
        if (const std::int32_t decoded = DecodeMore(); decoded != MAC_ERROR_SUCCESS) {
          // Audio after a damaged frame cannot be placed; only a seek starts afresh.
          failure_ = decoded;
          *retrieved = delivered;
          return decoded;
        }
        continue;
      }
      const std::int64_t take = std::min<std::int64_t>({frameEnd_ - frameNext_, blocks - delivered,
                                                        totalBlocks_ - position_});
      Interleave(frameNext_, take, reinterpret_cast<unsigned char*>(buffer) + static_cast<std::size_t>(delivered) * blockAlign);
      frameNext_ += take;
      delivered += static_cast<std::int32_t>(take);
      position_ += take;
    }
    *retrieved = delivered;
    return MAC_ERROR_SUCCESS;
  }

  std::int32_t Seek(std::int32_t block) {
    if (block < 0 || block > totalBlocks_) return MAC_ERROR_BAD_PARAMETER;
    // The demuxer positions on the frame that holds the block; decoding skips up to it.
    if (av_seek_frame(input_.get(), stream_->index, block, AVSEEK_FLAG_BACKWARD) < 0) {
      return MAC_ERROR_DECOMPRESSING_FRAME;
    }
    avcodec_flush_buffers(codec_.get());
    av_frame_unref(frame_.get());
    frameNext_ = frameEnd_ = 0;
    position_ = block;
    decoded_.reset();
    flushing_ = false;
    failure_ = MAC_ERROR_SUCCESS;
    return MAC_ERROR_SUCCESS;
  }

 private:
  int Extradata16(int offset) const {
    const AVCodecParameters& parameters = *stream_->codecpar;
    if (!parameters.extradata || parameters.extradata_size < offset + 2) return -1;
    return parameters.extradata[offset] | parameters.extradata[offset + 1] << 8;
  }

  std::int64_t TotalFrames() const { return std::max<std::int64_t>(stream_->nb_frames, 1); }

  // The demuxer's index holds every frame's first block.
  std::int64_t BlocksPerFrame() const {
    if (avformat_index_get_entries_count(stream_) < 2) return totalBlocks_;
    return avformat_index_get_entry(stream_, 1)->timestamp;
  }

  std::int64_t Milliseconds(std::int64_t blocks) const { return blocks * 1000 / rate_; }

  // Decodes the next piece of audio into frame_ and sets the range of it still to deliver, from
  // position_ on (after a seek the blocks before it are dropped). A stream that ends before the
  // stated length is damaged.
  std::int32_t DecodeMore() {
    for (;;) {
      av_frame_unref(frame_.get());
      frameNext_ = frameEnd_ = 0;
      const int received = avcodec_receive_frame(codec_.get(), frame_.get());
      if (received >= 0) {
        if (const std::int32_t placed = Place(*frame_); placed != MAC_ERROR_SUCCESS || frameNext_ < frameEnd_) {
          return placed;
        }
        continue;
      }
      if (received != AVERROR(EAGAIN)) return MAC_ERROR_DECOMPRESSING_FRAME;
      if (const std::int32_t sent = SendPacket(); sent != MAC_ERROR_SUCCESS) return sent;
    }
  }

  std::int32_t SendPacket() {
    if (flushing_) return MAC_ERROR_DECOMPRESSING_FRAME;
    const int read = av_read_frame(input_.get(), packet_.get());
    if (read == AVERROR_EOF) {
      flushing_ = true;
      return avcodec_send_packet(codec_.get(), nullptr) < 0 ? MAC_ERROR_DECOMPRESSING_FRAME : MAC_ERROR_SUCCESS;
    }
    // The demuxer answers EIO for a frame whose size the seek table gets wrong.
    if (read < 0) return MAC_ERROR_DECOMPRESSING_FRAME;
    if (packet_->stream_index != stream_->index) {
      av_packet_unref(packet_.get());
      return MAC_ERROR_SUCCESS;
    }
    // Decoded audio follows on without gaps; only the first packet after opening or seeking says
    // where it starts (its time stamp is its first block).
    if (!decoded_ && packet_->pts != AV_NOPTS_VALUE) decoded_ = packet_->pts;
    const int sent = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    return sent < 0 || !decoded_ ? MAC_ERROR_DECOMPRESSING_FRAME : MAC_ERROR_SUCCESS;
  }

  // Places a decoded frame: the part of it from position_ on, up to the stated length, is what
  // GetData delivers from it.
  std::int32_t Place(const AVFrame& frame) {
    if (!decoded_ || frame.ch_layout.nb_channels != channels_ || !Deliverable(frame)) {
      return MAC_ERROR_DECOMPRESSING_FRAME;
    }
    const std::int64_t start = *decoded_;
    *decoded_ += frame.nb_samples;
    // Audio missing between what was delivered and this frame.
    if (start > position_) return MAC_ERROR_DECOMPRESSING_FRAME;
    frameNext_ = std::min<std::int64_t>(position_ - start, frame.nb_samples);
    frameEnd_ = std::max(frameNext_, std::min<std::int64_t>(frame.nb_samples, totalBlocks_ - start));
    return MAC_ERROR_SUCCESS;
  }

  // The decoder's planar formats for the file's bit depths.
  bool Deliverable(const AVFrame& frame) const {
    switch (static_cast<AVSampleFormat>(frame.format)) {
      case AV_SAMPLE_FMT_U8P: return bits_ == 8;
      case AV_SAMPLE_FMT_S16P: return bits_ == 16;
      case AV_SAMPLE_FMT_S32P: return bits_ == 24;  // in the top three bytes
      default: return false;
    }
  }

  // Interleaves `count` blocks of frame_ from block `first` into `out`, in the WAV layout.
  void Interleave(std::int64_t first, std::int64_t count, unsigned char* out) const {
    const auto from = static_cast<std::size_t>(first);
    const auto n = static_cast<std::size_t>(count);
    const std::uint8_t* const* planes = frame_->extended_data;
    if (bits_ == 16 && channels_ == 2) {
      // The common case, a block at a time: both 16-bit samples are little-endian already.
      const auto* left = reinterpret_cast<const std::int16_t*>(planes[0]) + from;
      const auto* right = reinterpret_cast<const std::int16_t*>(planes[1]) + from;
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t block =
            static_cast<std::uint16_t>(left[i]) | static_cast<std::uint32_t>(static_cast<std::uint16_t>(right[i])) << 16;
        std::memcpy(out + 4 * i, &block, 4);
      }
      return;
    }
    const int bytes = bits_ / 8;
    // 24-bit samples are the top three bytes of 32.
    const std::size_t stride = bytes == 3 ? 4 : static_cast<std::size_t>(bytes);
    const std::size_t skip = bytes == 3 ? 1 : 0;
    for (std::size_t i = from; i < from + n; ++i) {
      for (int c = 0; c < channels_; ++c) {
        std::memcpy(out, planes[c] + stride * i + skip, static_cast<std::size_t>(bytes));
        out += bytes;
      }
    }
  }

  InputFile input_;
  Codec codec_;
  Packet packet_;
  Frame frame_;
  AVStream* stream_ = nullptr;
  int channels_ = 0;
  int bits_ = 0;
  int rate_ = 0;
  std::int64_t totalBlocks_ = 0;
  std::int64_t position_ = 0;             // the next block GetData delivers
  std::optional<std::int64_t> decoded_;   // the block the decoder's next frame starts with
  bool flushing_ = false;                 // the demuxer has reached the end
  std::int32_t failure_ = MAC_ERROR_SUCCESS;  // what every GetData answers until a seek
  // frame_ holds the last decoded audio; its blocks frameNext_ to frameEnd_ are still to deliver.
  std::int64_t frameNext_ = 0;
  std::int64_t frameEnd_ = 0;
};

void SetError(std::int32_t* error, std::int32_t code) {
  if (error) *error = code;
}

}  // namespace

}  // namespace merolune

struct MacCompressor {
  merolune::Compressor Impl;
};
struct MacDecompressor {
  merolune::Decompressor Impl;
};

// The entry points: nothing may escape into the caller, which is C.

namespace {

// Runs `call`, turning an exception into an error code.
template <typename Call>
std::int32_t Guarded(Call call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return MAC_ERROR_INSUFFICIENT_MEMORY;
  } catch (...) {
    return MAC_ERROR_BAD_PARAMETER;
  }
}

}  // namespace

extern "C" MEROLUNE_MACDLL_API APE_COMPRESS_HANDLE c_APECompress_Create(int32_t* error) {
  auto* compressor = new (std::nothrow) MacCompressor;
  merolune::SetError(error, compressor ? MAC_ERROR_SUCCESS : MAC_ERROR_INSUFFICIENT_MEMORY);
  return compressor;
}

extern "C" MEROLUNE_MACDLL_API int32_t FillWaveFormatEx(MacWaveFormat* format, int32_t sampleRate,
                                                        int32_t bitsPerSample, int32_t channels) {
  if (!format || sampleRate <= 0 || bitsPerSample <= 0 || bitsPerSample % 8 != 0 || bitsPerSample > 32 ||
      channels <= 0 || channels > 32) {
    return MAC_ERROR_BAD_PARAMETER;
  }
  const auto blockAlign = static_cast<std::uint32_t>(channels * bitsPerSample / 8);
  format->FormatTag = merolune::kPcmFormatTag;
  format->Channels = static_cast<std::uint16_t>(channels);
  format->SamplesPerSecond = static_cast<std::uint32_t>(sampleRate);
  format->AverageBytesPerSecond = blockAlign * static_cast<std::uint32_t>(sampleRate);
  format->BlockAlign = static_cast<std::uint16_t>(blockAlign);
  format->BitsPerSample = static_cast<std::uint16_t>(bitsPerSample);
  format->ExtraBytes = 0;
  return MAC_ERROR_SUCCESS;
}

extern "C" MEROLUNE_MACDLL_API int32_t c_APECompress_Start(APE_COMPRESS_HANDLE compressor, const char* path,
                                                           const MacWaveFormat* format, int32_t maxAudioBytes,
                                                           int32_t level, const void* header,
                                                           int32_t headerBytes) {
  if (!compressor) return MAC_ERROR_BAD_PARAMETER;
  return Guarded(
      [&] { return compressor->Impl.Start(path, format, maxAudioBytes, level, header, headerBytes); });
}

extern "C" MEROLUNE_MACDLL_API unsigned char* c_APECompress_LockBuffer(APE_COMPRESS_HANDLE compressor,
                                                                       int32_t* bytesAvailable) {
  if (!compressor) {
    if (bytesAvailable) *bytesAvailable = 0;
    return nullptr;
  }
  return compressor->Impl.Lock(bytesAvailable);
}

extern "C" MEROLUNE_MACDLL_API int32_t c_APECompress_UnlockBuffer(APE_COMPRESS_HANDLE compressor,
                                                                  int32_t bytesAdded, int32_t process) {
  if (!compressor) return MAC_ERROR_BAD_PARAMETER;
  return Guarded([&] { return compressor->Impl.Unlock(bytesAdded, process != 0); });
}

extern "C" MEROLUNE_MACDLL_API int32_t c_APECompress_Finish(APE_COMPRESS_HANDLE compressor,
                                                            unsigned char* terminating, int32_t terminatingBytes,
                                                            int32_t wavTerminatingBytes) {
  if (!compressor) return MAC_ERROR_BAD_PARAMETER;
  return Guarded([&] { return compressor->Impl.Finish(terminating, terminatingBytes, wavTerminatingBytes); });
}

extern "C" MEROLUNE_MACDLL_API void c_APECompress_Destroy(APE_COMPRESS_HANDLE compressor) { delete compressor; }

extern "C" MEROLUNE_MACDLL_API APE_DECOMPRESS_HANDLE c_APEDecompress_CreateW(const wchar_t* path, int32_t* error) {
  if (!path) {
    merolune::SetError(error, MAC_ERROR_BAD_PARAMETER);
    return nullptr;
  }
  std::unique_ptr<MacDecompressor> decompressor;
  const std::int32_t code = Guarded([&] {
    merolune::SilenceFfmpegLog();
    const std::string name = merolune::Utf8(path);
    if (name.empty()) return static_cast<std::int32_t>(MAC_ERROR_INVALID_INPUT_FILE);
    decompressor = std::make_unique<MacDecompressor>();
    return decompressor->Impl.Open(name);
  });
  merolune::SetError(error, code);
  return code == MAC_ERROR_SUCCESS ? decompressor.release() : nullptr;
}

extern "C" MEROLUNE_MACDLL_API intptr_t c_APEDecompress_GetInfo(APE_DECOMPRESS_HANDLE decompressor, int32_t field,
                                                                intptr_t, intptr_t) {
  return decompressor ? decompressor->Impl.Info(field) : -1;
}

extern "C" MEROLUNE_MACDLL_API int32_t c_APEDecompress_GetData(APE_DECOMPRESS_HANDLE decompressor, char* buffer,
                                                               int32_t blocks, int32_t* blocksRetrieved) {
  if (!decompressor) {
    if (blocksRetrieved) *blocksRetrieved = 0;
    return MAC_ERROR_BAD_PARAMETER;
  }
  return Guarded([&] { return decompressor->Impl.GetData(buffer, blocks, blocksRetrieved); });
}

extern "C" MEROLUNE_MACDLL_API int32_t c_APEDecompress_Seek(APE_DECOMPRESS_HANDLE decompressor, int32_t block) {
  if (!decompressor) return MAC_ERROR_BAD_PARAMETER;
  return Guarded([&] { return decompressor->Impl.Seek(block); });
}

extern "C" MEROLUNE_MACDLL_API void c_APEDecompress_Destroy(APE_DECOMPRESS_HANDLE decompressor) { delete decompressor; }
