// libmacdll.so: Monkey's Audio compression over our encoder core and decompression over FFmpeg's
// ape demuxer and decoder, behind the C entry points of macdll.h.

#include "macdll.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "ApeEncoder.h"
#include "LittleEndian.h"
#include "TemporaryFile.h"

static_assert(sizeof(MacWaveFormat) == 18, "the record has the platform's WAVEFORMATEX layout");

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

// The encoder's output: a new file beside the destination that gets the destination's name only
// when complete, and is removed otherwise.
class PendingApeFile final : public ApeOutput {
 public:
  PendingApeFile() = default;
  ~PendingApeFile() override { Discard(); }
  PendingApeFile(const PendingApeFile&) = delete;
  PendingApeFile& operator=(const PendingApeFile&) = delete;

  bool Create(const std::string& destination) {
    const int fd = CreateFileBeside(destination, temporary_);
    if (fd < 0) return false;
    file_ = fdopen(fd, "wb");
    if (!file_) {
      close(fd);
      Discard();
      return false;
    }
    destination_ = destination;
    return true;
  }

  void Append(const std::uint8_t* bytes, std::size_t size) override {
    if (!file_ || std::fwrite(bytes, 1, size, file_) != size) throw WriteError();
  }

  void Overwrite(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) override {
    if (!file_ || fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fwrite(bytes, 1, size, file_) != size || fseeko(file_, 0, SEEK_END) != 0) {
      throw WriteError();
    }
  }

  // Closes the file and gives it the destination's name. False (and the file removed) on an error.
  bool Commit() {
    if (!file_) return false;
    // fclose flushes the buffer: a full disk shows here.
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed || std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
      Discard();
      return false;
    }
    temporary_.clear();
    return true;
  }

  void Discard() noexcept {
    if (file_) {
      std::fclose(file_);
      file_ = nullptr;
    }
    if (!temporary_.empty()) {
      unlink(temporary_.c_str());
      temporary_.clear();
    }
  }

 private:
  std::string destination_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
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

// FFmpeg prints its warnings and errors ("[ape @ 0x...] ...") on stderr, which is the user's
// terminal when the program runs from one; failures reach the caller as error codes instead. The
// callback is process-wide and set once; a function that does nothing is safe on any thread.
void DropLogLine(void*, int, const char*, std::va_list) {}

void SilenceLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(DropLogLine); });
}

struct InputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

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

// The first bytes of every Monkey's Audio file that FFmpeg reads (floating-point audio has "MACF").
constexpr char kMagic[4] = {'M', 'A', 'C', ' '};
// From version 3980 on a 52-byte descriptor gives the sizes of what precedes the audio.
constexpr int kDescriptorVersion = 3980;
constexpr std::size_t kDescriptorBytes = 52;

// MAC_ERROR_SUCCESS when `path` starts like a Monkey's Audio file and is long enough for its own
// descriptor, header, seek table and stored WAV header: FFmpeg opens a file cut inside its seek
// table, and only decoding would fail.
std::int32_t CheckHeader(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return MAC_ERROR_INVALID_INPUT_FILE;
  std::uint8_t head[kDescriptorBytes];
  const std::size_t read = std::fread(head, 1, sizeof head, file);
  const bool sized = fseeko(file, 0, SEEK_END) == 0;
  const off_t size = sized ? ftello(file) : -1;
  std::fclose(file);
  if (read < sizeof kMagic) return MAC_ERROR_INVALID_INPUT_FILE;
  if (std::memcmp(head, kMagic, sizeof kMagic) != 0) return MAC_ERROR_UNSUPPORTED_FILE_TYPE;
  if (LoadU16(head + 4) < kDescriptorVersion) return MAC_ERROR_SUCCESS;
  if (read < sizeof head || size < 0) return MAC_ERROR_INVALID_INPUT_FILE;
  std::uint64_t before = 0;
  for (std::size_t field = 8; field <= 20; field += 4) before += LoadU32(head + field);
  return before < static_cast<std::uint64_t>(size) ? MAC_ERROR_SUCCESS : MAC_ERROR_INVALID_INPUT_FILE;
}

class Decompressor {
 public:
  std::int32_t Open(const std::string& path) {
    if (const std::int32_t header = CheckHeader(path); header != MAC_ERROR_SUCCESS) return header;
    // Only the ape demuxer is tried, on a plain file: probing could let FFmpeg read something else.
    const AVInputFormat* format = av_find_input_format("ape");
    if (!format) return MAC_ERROR_UNSUPPORTED_FILE_TYPE;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const int opened = avformat_open_input(&raw, ("file:" + path).c_str(), format, &options);
    av_dict_free(&options);
    // A header FFmpeg refuses: a version outside 3800 to 3990, no frames, a short seek table...
    if (opened < 0) return MAC_ERROR_INVALID_INPUT_FILE;
    input_.reset(raw);
    if (input_->nb_streams != 1) return MAC_ERROR_INVALID_INPUT_FILE;
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
      if (pendingAt_ == pending_.size()) {
        if (const std::int32_t decoded = DecodeMore(); decoded != MAC_ERROR_SUCCESS) {
          // Audio after a damaged frame cannot be placed; only a seek starts afresh.
          failure_ = decoded;
          *retrieved = delivered;
          return decoded;
        }
        continue;
      }
      const std::size_t available = (pending_.size() - pendingAt_) / blockAlign;
      const std::size_t wanted = static_cast<std::size_t>(blocks - delivered);
      const std::size_t left = static_cast<std::size_t>(totalBlocks_ - position_);
      const std::size_t take = std::min({available, wanted, left});
      std::memcpy(buffer + static_cast<std::size_t>(delivered) * blockAlign, pending_.data() + pendingAt_,
                  take * blockAlign);
      pendingAt_ += take * blockAlign;
      delivered += static_cast<std::int32_t>(take);
      position_ += static_cast<std::int64_t>(take);
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
    pending_.clear();
    pendingAt_ = 0;
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

  // Decodes the next piece of audio into pending_, dropping the blocks before position_ (after a
  // seek). A stream that ends before the stated length is damaged.
  std::int32_t DecodeMore() {
    pending_.clear();
    pendingAt_ = 0;
    for (;;) {
      const int received = avcodec_receive_frame(codec_.get(), frame_.get());
      if (received >= 0) {
        const std::int32_t converted = Convert(*frame_);
        av_frame_unref(frame_.get());
        if (converted != MAC_ERROR_SUCCESS || !pending_.empty()) return converted;
        continue;
      }
      if (received == AVERROR_EOF) return MAC_ERROR_DECOMPRESSING_FRAME;
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
    // Decoded audio follows on without gaps; only the first packet after opening or seeking says
    // where it starts (its time stamp is its first block).
    if (!decoded_ && packet_->pts != AV_NOPTS_VALUE) decoded_ = packet_->pts;
    const int sent = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    return sent < 0 || !decoded_ ? MAC_ERROR_DECOMPRESSING_FRAME : MAC_ERROR_SUCCESS;
  }

  // Interleaves the decoded planes at the file's bit depth, from position_ on.
  std::int32_t Convert(const AVFrame& frame) {
    if (!decoded_ || frame.ch_layout.nb_channels != channels_) return MAC_ERROR_DECOMPRESSING_FRAME;
    const std::int64_t start = *decoded_;
    *decoded_ += frame.nb_samples;
    // Audio missing between what was delivered and this frame.
    if (start > position_) return MAC_ERROR_DECOMPRESSING_FRAME;
    const std::int64_t first = std::min<std::int64_t>(position_ - start, frame.nb_samples);
    const std::int64_t last = std::min<std::int64_t>(frame.nb_samples, totalBlocks_ - start);
    if (first >= last) return MAC_ERROR_SUCCESS;
    const int bytes = bits_ / 8;
    pending_.resize(static_cast<std::size_t>((last - first) * channels_ * bytes));
    unsigned char* out = pending_.data();
    const auto format = static_cast<AVSampleFormat>(frame.format);
    for (std::int64_t i = first; i < last; ++i) {
      for (int c = 0; c < channels_; ++c) {
        const std::uint8_t* plane = frame.extended_data[c];
        if (format == AV_SAMPLE_FMT_U8P && bytes == 1) {
          *out++ = plane[i];
        } else if (format == AV_SAMPLE_FMT_S16P && bytes == 2) {
          std::memcpy(out, plane + 2 * i, 2);  // little-endian already
          out += 2;
        } else if (format == AV_SAMPLE_FMT_S32P && bytes == 3) {
          // 24-bit samples in the top three bytes.
          std::memcpy(out, plane + 4 * i + 1, 3);
          out += 3;
        } else {
          return MAC_ERROR_DECOMPRESSING_FRAME;
        }
      }
    }
    return MAC_ERROR_SUCCESS;
  }

  std::unique_ptr<AVFormatContext, InputCloser> input_;
  std::unique_ptr<AVCodecContext, CodecCloser> codec_;
  std::unique_ptr<AVPacket, PacketFreer> packet_;
  std::unique_ptr<AVFrame, FrameFreer> frame_;
  AVStream* stream_ = nullptr;
  int channels_ = 0;
  int bits_ = 0;
  int rate_ = 0;
  std::int64_t totalBlocks_ = 0;
  std::int64_t position_ = 0;             // the next block GetData delivers
  std::optional<std::int64_t> decoded_;   // the block the decoder's next frame starts with
  bool flushing_ = false;                 // the demuxer has reached the end
  std::int32_t failure_ = MAC_ERROR_SUCCESS;  // what every GetData answers until a seek
  std::vector<unsigned char> pending_;    // decoded, converted, not yet delivered
  std::size_t pendingAt_ = 0;
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
    merolune::SilenceLibraryLog();
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
