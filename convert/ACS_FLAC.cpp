// The FLAC pipeline components: TFLACIn decodes a FLAC file to PCM, TFLACOut encodes PCM as FLAC.

#include "ACS_FLAC.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FLACLib.h"
#include "LittleEndian.h"

namespace merolune {

namespace {

bool SupportedWidth(std::uint32_t bits) { return bits == 8 || bits == 16 || bits == 24 || bits == 32; }

// Little-endian PCM (8 bits unsigned, wider ones signed) to the signed integers libFLAC takes.
void PcmToSamples(const std::uint8_t* in, std::size_t samples, std::uint32_t bits, FLAC__int32* out) {
  switch (bits) {
    case 8:
      for (std::size_t i = 0; i < samples; ++i) out[i] = static_cast<FLAC__int32>(in[i]) - 128;
      break;
    case 16:
      for (std::size_t i = 0; i < samples; ++i, in += 2) {
        out[i] = LoadS16(in);
      }
      break;
    case 24:
      for (std::size_t i = 0; i < samples; ++i, in += 3) out[i] = LoadS24(in);
      break;
    default:
      for (std::size_t i = 0; i < samples; ++i, in += 4) {
        out[i] = LoadS32(in);
      }
      break;
  }
}

// Interleaves `frames` frames of decoded channels as little-endian PCM of `Bytes` bytes per sample
// (1: unsigned 8-bit, wider ones signed).
template <std::uint32_t Bytes>
void Interleave(const FLAC__int32* const channelData[], std::uint32_t channels, std::uint64_t frames,
                std::uint8_t* out) {
  for (std::uint64_t i = 0; i < frames; ++i) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      const FLAC__int32 sample = channelData[c][i];
      if constexpr (Bytes == 1) {
        *out++ = static_cast<std::uint8_t>(sample + 128);
      } else {
        auto value = static_cast<std::uint32_t>(sample);
        for (std::uint32_t b = 0; b < Bytes; ++b, value >>= 8)
          *out++ = static_cast<std::uint8_t>(value & 0xFFU);
      }
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// TFLACIn

// The decoder's state. The callbacks run inside libFLAC calls made by OpenSource, Refill and
// SeekSample, on the thread making them; they never throw but store what went wrong for that caller.
struct TFLACIn::Impl {
  const FLACLib library{};  // opened with the component, kept for all its runs
  const FLACEntryPoints& api = library.Api();
  FLAC__StreamDecoder* decoder = nullptr;
  std::unique_ptr<TAuFileStream> ownStream;  // the file when no stream was assigned
  merolune::Stream* source = nullptr;        // what is read: ownStream or the assigned stream

  // From the STREAMINFO block; a total of 0 means the stream did not know it.
  bool streamInfoSeen = false;
  std::uint32_t sampleRate = 0;
  std::uint32_t channels = 0;
  std::uint32_t bits = 0;
  std::uint64_t totalSamples = 0;

  std::vector<std::uint8_t> buffer;  // what the last decoding call gave, grown to the largest
  std::int32_t decodedBytes = 0;     // bytes of it the write callbacks of that call stored
  std::int32_t pendingBytes = 0;     // a frame decoded by a seek, not handed out yet
  std::uint64_t framesDecoded = 0;   // file position, in frames, after the last decoded frame
  bool endOfData = false;
  bool badFrame = false;      // a frame that disagrees with the STREAMINFO
  std::string callbackError;  // an exception caught in a callback (a read error of the stream)

  ~Impl() { ReleaseDecoder(); }

  void ReleaseDecoder() noexcept {
    if (decoder == nullptr) return;
    api.FLAC__stream_decoder_finish(decoder);
    api.FLAC__stream_decoder_delete(decoder);
    decoder = nullptr;
  }

  static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                            std::size_t* bytes, void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      *bytes = d.source->Read(buffer, *bytes);
      return *bytes == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                         : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    } catch (...) {
      d.callbackError = CurrentExceptionText(kAuUnknownError);
      *bytes = 0;
      return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
  }

  static FLAC__StreamDecoderSeekStatus Seek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      d.source->Seek(static_cast<std::int64_t>(offset), SeekOrigin::Begin);
      return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
  }

  static FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      *offset = d.source->Position();
      return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
    }
  }

  static FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      *length = d.source->Size();
      return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
    }
  }

  static FLAC__bool Eof(const FLAC__StreamDecoder*, void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      return d.source->Position() >= d.source->Size();
    } catch (...) {
      // The read that follows meets the same failure and reports it.
      return false;
    }
  }

  static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                              const FLAC__int32* const channelData[], void* client) {
    auto& d = *static_cast<Impl*>(client);
    const FLAC__FrameHeader& header = frame->header;
    // A frame of another layout than the STREAMINFO promised cannot go into the same PCM.
    if (header.channels != d.channels || header.bits_per_sample != d.bits) {
      d.badFrame = true;
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    std::uint64_t frames = header.blocksize;
    // The output announced the STREAMINFO's length in advance; what a damaged stream has beyond it
    // is dropped.
    if (d.totalSamples > 0)
      frames = std::min(frames, d.totalSamples - std::min(d.totalSamples, d.framesDecoded));
    const std::uint32_t sampleBytes = d.bits / 8;
    const std::size_t bytes = static_cast<std::size_t>(frames) * d.channels * sampleBytes;
    // One decoding call may hand over more than one frame: after a damaged frame libFLAC sends
    // silence in its place and then the next frame. They go one after the other into the buffer.
    const auto at = static_cast<std::size_t>(d.decodedBytes);
    if (bytes > static_cast<std::size_t>(INT32_MAX) - at) {
      d.callbackError = kFLACReadError;
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    try {
      if (d.buffer.size() < at + bytes) d.buffer.resize(at + bytes);
    } catch (...) {
      d.callbackError = CurrentExceptionText(kAuUnknownError);
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    std::uint8_t* out = d.buffer.data() + at;
    switch (sampleBytes) {
      case 1:
        Interleave<1>(channelData, d.channels, frames, out);
        break;
      case 2:
        Interleave<2>(channelData, d.channels, frames, out);
        break;
      case 3:
        Interleave<3>(channelData, d.channels, frames, out);
        break;
      default:
        Interleave<4>(channelData, d.channels, frames, out);
        break;
    }
    d.decodedBytes = static_cast<std::int32_t>(at + bytes);
    d.framesDecoded += frames;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  }

  static void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
    auto& d = *static_cast<Impl*>(client);
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    d.streamInfoSeen = true;
    d.sampleRate = info.sample_rate;
    d.channels = info.channels;
    d.bits = info.bits_per_sample;
    d.totalSamples = info.total_samples;
  }

  // Damaged frames are skipped by libFLAC (a missing one is filled with silence); a stream that
  // comes up short of its length is reported by Refill.
  static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}
};

TFLACIn::TFLACIn(QObject* owner) : TAuFileIn(owner) {
  impl_ = std::make_unique<Impl>();
  impl_->library.Require();
}

TFLACIn::~TFLACIn() { CloseSource(); }

void TFLACIn::OpenSource() {
  const std::lock_guard lock(OpenLock());
  if (openCount_.load() > 0) return;
  Impl& d = *impl_;
  valid_.store(false);
  totalSamples_.store(0);
  size_.store(0);
  if (StreamAssigned()) {
    d.source = stream_.load();
  } else {
    if (FileName().empty()) throw EAuException(kFLACFileNameNotAssigned);
    d.ownStream = std::make_unique<TAuFileStream>(FileName(),
                                                  TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyNone);
    d.source = d.ownStream.get();
  }
  try {
    d.source->Seek(0, SeekOrigin::Begin);
    d.streamInfoSeen = false;
    d.channels = d.bits = d.sampleRate = 0;
    d.totalSamples = 0;
    d.decodedBytes = d.pendingBytes = 0;
    d.framesDecoded = 0;
    d.endOfData = d.badFrame = false;
    d.callbackError.clear();

    d.decoder = d.api.FLAC__stream_decoder_new();
    if (d.decoder == nullptr) throw EAuException(kFLACDecoderInitFailed);
    if (d.api.FLAC__stream_decoder_init_stream(d.decoder, &Impl::Read, &Impl::Seek, &Impl::Tell,
                                               &Impl::Length, &Impl::Eof, &Impl::Write, &Impl::Metadata,
                                               &Impl::Error, &d) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
      throw EAuException(kFLACDecoderInitFailed);
    }
    const bool ok = d.api.FLAC__stream_decoder_process_until_end_of_metadata(d.decoder);
    if (!d.callbackError.empty()) throw EAuException(d.callbackError);
    const std::string name = StreamAssigned() ? std::string("(stream)") : FileName();
    // Without a STREAMINFO block there is no FLAC stream, whatever frame-like bytes follow.
    if (!d.streamInfoSeen) throw EAuException(kFLACNotAFLACFile + name);
    if (d.channels < 1 || d.channels > 2 || !SupportedWidth(d.bits) || d.sampleRate == 0)
      throw EAuException(kFLACUnsupportedFormat + name);
    if (!ok) throw EAuException(kFLACReadError);

    bitsPerSample_.store(static_cast<std::int32_t>(d.bits));
    channels_.store(static_cast<std::int32_t>(d.channels));
    sampleRate_.store(static_cast<std::int32_t>(d.sampleRate));
    // The STREAMINFO's count has 36 bits, so its bytes always fit a 64-bit count; should a count
    // ever not, it is no length at all rather than one that wraps.
    if (d.totalSamples > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / FrameBytes()))
      d.totalSamples = 0;
    // An unknown length (0 in the STREAMINFO, as a streaming encoder leaves it) reads as -1, so that
    // the output patches its header at the end.
    const auto total = static_cast<std::int64_t>(d.totalSamples);
    totalSamples_.store(total > 0 ? total : -1);
    size_.store(total > 0 ? total * FrameBytes() : -1);
    bufStart_ = 1;
    bufEnd_ = 0;
    valid_.store(true);
    openCount_.store(1);
  } catch (...) {
    d.ReleaseDecoder();
    d.ownStream.reset();
    d.source = nullptr;
    throw;
  }
}

void TFLACIn::CloseSource() {
  const std::lock_guard lock(OpenLock());
  Impl& d = *impl_;
  if (openCount_.load() == 0 && d.decoder == nullptr && !d.ownStream) return;
  d.ReleaseDecoder();
  std::vector<std::uint8_t>().swap(d.buffer);
  if (d.ownStream) {
    d.ownStream.reset();
  } else if (d.source != nullptr) {
    // The caller's stream is rewound so that the next reading starts over.
    try {
      d.source->Seek(0, SeekOrigin::Begin);
    } catch (...) {
      // Closing never fails; the next open seeks anyway.
    }
  }
  d.source = nullptr;
  openCount_.store(0);
}

void TFLACIn::SeekSample(std::int64_t sample) {
  const std::lock_guard lock(ReadLock());
  Impl& d = *impl_;
  if (d.decoder == nullptr || sample < 0) return;
  bufStart_ = 1;
  bufEnd_ = 0;
  d.pendingBytes = 0;
  const auto target = static_cast<std::uint64_t>(sample);
  if (d.totalSamples > 0 && target >= d.totalSamples) {
    d.framesDecoded = d.totalSamples;
    d.endOfData = true;
    return;
  }
  d.framesDecoded = target;
  d.decodedBytes = 0;
  d.endOfData = false;
  // libFLAC decodes the frame holding the target during the seek, starting at the target.
  if (!d.api.FLAC__stream_decoder_seek_absolute(d.decoder, target)) {
    d.callbackError.clear();
    d.api.FLAC__stream_decoder_reset(d.decoder);
    d.framesDecoded = 0;
    throw EAuException(kFLACSeekFailed);
  }
  if (!d.callbackError.empty()) throw EAuException(std::exchange(d.callbackError, {}));
  d.pendingBytes = d.decodedBytes;
}

bool TFLACIn::Refill() {
  Impl& d = *impl_;
  bufStart_ = 1;
  bufEnd_ = 0;
  if (d.decoder == nullptr) return false;
  if (d.pendingBytes > 0) {
    bufEnd_ = std::exchange(d.pendingBytes, 0);
  } else {
    if (d.endOfData) return false;
    for (;;) {
      if (d.totalSamples > 0 && d.framesDecoded >= d.totalSamples) {
        d.endOfData = true;
        return false;
      }
      d.decodedBytes = 0;
      const bool ok = d.api.FLAC__stream_decoder_process_single(d.decoder);
      if (!d.callbackError.empty()) throw EAuException(std::exchange(d.callbackError, {}));
      if (d.badFrame) throw EAuException(kFLACReadError);
      if (d.decodedBytes > 0) break;
      const FLAC__StreamDecoderState state = d.api.FLAC__stream_decoder_get_state(d.decoder);
      if (state == FLAC__STREAM_DECODER_END_OF_STREAM) {
        d.endOfData = true;
        // The output has announced the length: the STREAMINFO's, or the range asked for when the
        // stream does not know its own. A shorter result would be a damaged WAV. The buffer is
        // empty here, so Position counts every byte delivered.
        const std::int64_t size = size_.load();
        if ((d.totalSamples > 0 && d.framesDecoded < d.totalSamples) ||
            (size >= 0 && position_.load() < size))
          throw EAuException(kFLACLostSync);
        return false;
      }
      // Anything past the end of stream is a failure state (aborted, seek or memory error).
      if (!ok || state > FLAC__STREAM_DECODER_END_OF_STREAM) throw EAuException(kFLACReadError);
    }
    bufEnd_ = d.decodedBytes;
  }
  // With the buffer empty Position counts every byte delivered, so this keeps to EndSample's range.
  const std::int64_t size = size_.load();
  if (size >= 0) {
    const std::int64_t rangeLeft = std::max<std::int64_t>(0, size - position_.load());
    bufEnd_ = static_cast<std::int32_t>(std::min<std::int64_t>(bufEnd_, rangeLeft));
  }
  return bufStart_ <= bufEnd_;
}

void TFLACIn::ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) {
  ReadDecoded([this] { return Refill(); },
              [this] { return static_cast<const std::uint8_t*>(impl_->buffer.data()); }, buffer, bytes);
}

// ---------------------------------------------------------------------------------------------------
// TFLACOut

// The encoder's state for one run. PrepareOutput sets it up on the thread that starts the output;
// the worker uses it from then on (the framework hands it over). The callbacks run inside libFLAC
// calls on the thread making them; they never throw but keep the first failure's message, which the
// caller rethrows when libFLAC reports the failure.
struct TFLACOut::Impl {
  const FLACLib library{};  // opened with the component, kept for all its runs
  const FLACEntryPoints& api = library.Api();
  FLAC__StreamEncoder* encoder = nullptr;
  bool initialized = false;  // init_stream succeeded: finish writes the last frame and the STREAMINFO
  bool inputBegun = false;
  bool endOfInput = false;
  merolune::Stream* sink = nullptr;
  // Where the FLAC stream starts in the sink: libFLAC's offsets count from there.
  std::uint64_t base = 0;
  std::unique_ptr<merolune::Stream> adopted;  // freed at the end of the next run
  std::string writeError;

  std::uint32_t channels = 0;
  std::uint32_t bits = 0;
  std::vector<std::uint8_t> pcm;     // one FLAC block of the input's bytes
  std::vector<FLAC__int32> samples;  // the same, widened for libFLAC

  ~Impl() { ReleaseEncoder(); }

  void ReleaseEncoder() noexcept {
    if (encoder == nullptr) return;
    api.FLAC__stream_encoder_delete(encoder);
    encoder = nullptr;
    initialized = false;
  }

  void Remember() {
    if (writeError.empty()) writeError = CurrentExceptionText(kAuUnknownError);
  }

  // libFLAC's failure: the stream's own message when a callback met one, else `fallback`.
  [[noreturn]] void Fail(const char* fallback) const {
    throw EAuException(writeError.empty() ? std::string(fallback) : writeError);
  }

  static FLAC__StreamEncoderWriteStatus Write(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                              std::size_t bytes, std::uint32_t, std::uint32_t, void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      d.sink->Write(buffer, bytes);
      return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    } catch (...) {
      d.Remember();
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
  }

  static FLAC__StreamEncoderSeekStatus Seek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      d.sink->Seek(static_cast<std::int64_t>(d.base + offset), SeekOrigin::Begin);
      return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    } catch (...) {
      d.Remember();
      return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }
  }

  static FLAC__StreamEncoderTellStatus Tell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* client) {
    auto& d = *static_cast<Impl*>(client);
    try {
      *offset = d.sink->Position() - d.base;
      return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    } catch (...) {
      d.Remember();
      return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
    }
  }
};

TFLACOut::TFLACOut(QObject* owner) : TAuFileOut(owner) {
  impl_ = std::make_unique<Impl>();
  impl_->library.Require();
}

TFLACOut::~TFLACOut() { ShutDown(); }

void TFLACOut::SetBestModelSearch(bool search) {
  bestModelSearch_.store(search);
  if (search) {
    midSide_.store(true);
    looseMidSide_.store(false);
  }
}

void TFLACOut::SetEnableLooseMidSideStereo(bool enable) {
  looseMidSide_.store(enable);
  if (enable) midSide_.store(true);
}

void TFLACOut::SetCompressionLevel(std::int32_t level) { compressionLevel_.store(std::min(level, 8)); }

void TFLACOut::AdoptStream(std::unique_ptr<merolune::Stream> stream) {
  // Replacing the stream of a running encoder would free it under the worker.
  if (Busy()) throw EAuException(kAuComponentIsBusy);
  Impl& d = *impl_;
  const bool inUse = d.adopted && Stream() == d.adopted.get();
  d.adopted = std::move(stream);
  if (d.adopted) {
    SetStream(d.adopted.get());
  } else if (inUse) {
    SetStream(nullptr);
  }
}

void TFLACOut::PrepareOutput() {
  Impl& d = *impl_;
  d.initialized = false;
  d.inputBegun = false;
  d.endOfInput = false;
  d.writeError.clear();
  d.sink = OpenDestination();
  d.base = d.sink->Position();
  d.encoder = d.api.FLAC__stream_encoder_new();
  if (d.encoder == nullptr) throw EAuException(kFLACEncoderInitFailed);
  TAuInput* input = Input();
  input->BeginRead();
  d.inputBegun = true;

  // Asked after BeginRead, so they describe the PCM the input really delivers.
  const std::int32_t channels = input->Channels();
  const std::int32_t bits = input->BitsPerSample();
  const std::int32_t rate = input->SampleRate();
  if (channels < 1 || channels > 2 || bits < 0 || !SupportedWidth(static_cast<std::uint32_t>(bits)) ||
      rate <= 0) {
    throw EAuException(kFLACUnsupportedInput + std::to_string(channels) + " channels of " +
                       std::to_string(bits) + " bits");
  }
  d.channels = static_cast<std::uint32_t>(channels);
  d.bits = static_cast<std::uint32_t>(bits);

  const FLACEntryPoints& api = d.api;
  FLAC__StreamEncoder* encoder = d.encoder;
  api.FLAC__stream_encoder_set_verify(encoder, Verify());
  api.FLAC__stream_encoder_set_channels(encoder, d.channels);
  api.FLAC__stream_encoder_set_bits_per_sample(encoder, d.bits);
  api.FLAC__stream_encoder_set_sample_rate(encoder, static_cast<std::uint32_t>(rate));
  if (channels == 2) {
    api.FLAC__stream_encoder_set_do_mid_side_stereo(encoder, EnableMidSideStereo());
    api.FLAC__stream_encoder_set_loose_mid_side_stereo(encoder, EnableLooseMidSideStereo());
  }
  const std::int32_t level = CompressionLevel();
  // libFLAC's presets leave the block size alone; 0 lets it choose the level's own (1152 frames for
  // the levels without LPC, 4096 above), so that a level overrides BlockSize as it should.
  api.FLAC__stream_encoder_set_blocksize(encoder, level < 0 ? BlockSize() : 0U);
  if (level < 0) {
    api.FLAC__stream_encoder_set_max_lpc_order(encoder, MaxLPCOrder());
    // Quantised coefficients and samples together must fit in 32 bits.
    std::uint32_t precision = QLPCoeffPrecision();
    if (precision > 0 && d.bits + precision >= 32) precision = d.bits < 31 ? 31 - d.bits : 0;
    api.FLAC__stream_encoder_set_qlp_coeff_precision(encoder, precision);
    api.FLAC__stream_encoder_set_do_qlp_coeff_prec_search(encoder, QLPCoeffPrecisionSearch());
    api.FLAC__stream_encoder_set_min_residual_partition_order(encoder, MinResidualPartitionOrder());
    api.FLAC__stream_encoder_set_max_residual_partition_order(encoder, MaxResidualPartitionOrder());
    api.FLAC__stream_encoder_set_do_exhaustive_model_search(encoder, BestModelSearch());
  } else {
    api.FLAC__stream_encoder_set_compression_level(encoder, static_cast<std::uint32_t>(level));
  }
  const std::int64_t size = input->Size();
  if (size > 0) {
    const double frames = static_cast<double>(size) / (d.bits / 8) / d.channels;
    api.FLAC__stream_encoder_set_total_samples_estimate(encoder,
                                                        static_cast<FLAC__uint64>(std::llround(frames)));
  }
  if (api.FLAC__stream_encoder_init_stream(encoder, &Impl::Write, &Impl::Seek, &Impl::Tell, nullptr, &d) !=
      FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    d.Fail(kFLACEncoderInitFailed);
  }
  d.initialized = true;

  // One FLAC block per ProcessBlock: the block size libFLAC settled on (a level's, or BlockSize).
  const std::size_t samples =
      static_cast<std::size_t>(api.FLAC__stream_encoder_get_blocksize(encoder)) * d.channels;
  d.pcm.assign(samples * (d.bits / 8), 0);
  d.samples.assign(samples, 0);
}

bool TFLACOut::ProcessBlock(bool abort) {
  if (!Active()) return true;
  Impl& d = *impl_;
  if (abort || d.endOfInput) return false;
  const auto frameBytes = static_cast<std::int32_t>(d.channels * (d.bits / 8));
  const auto capacity = static_cast<std::int32_t>(d.pcm.size());
  std::int32_t filled = 0;
  while (filled < capacity) {
    const std::int32_t got = Input()->CopyBlock(d.pcm.data() + filled, capacity - filled);
    if (got <= 0) {
      d.endOfInput = true;
      break;
    }
    filled += got;
  }
  filled -= filled % frameBytes;
  if (filled == 0) return false;
  const std::size_t samples = static_cast<std::size_t>(filled) / (d.bits / 8);
  PcmToSamples(d.pcm.data(), samples, d.bits, d.samples.data());
  if (!d.api.FLAC__stream_encoder_process_interleaved(d.encoder, d.samples.data(),
                                                      static_cast<std::uint32_t>(samples / d.channels))) {
    d.Fail(kFLACEncodeFailed);
  }
  return true;
}

void TFLACOut::FinishOutput() {
  Impl& d = *impl_;
  std::exception_ptr failure;
  if (d.encoder != nullptr) {
    // Writes the last block and then the completed STREAMINFO over the first one.
    if (d.initialized && !d.api.FLAC__stream_encoder_finish(d.encoder)) {
      try {
        d.Fail(kFLACEncodeFailed);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    d.ReleaseEncoder();
  }
  if (d.sink != nullptr && !failure) {
    try {
      d.sink->Seek(0, SeekOrigin::End);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  d.sink = nullptr;
  std::vector<std::uint8_t>().swap(d.pcm);
  std::vector<FLAC__int32>().swap(d.samples);
  try {
    ReleaseDestination();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (d.adopted) {
    if (Stream() == d.adopted.get()) {
      stream_.store(nullptr);
      streamAssigned_.store(false);
    }
    const std::unique_ptr<merolune::Stream> adopted = std::move(d.adopted);
    // A file is closed explicitly, as some file systems report write errors only there.
    if (auto* file = dynamic_cast<TAuFileStream*>(adopted.get())) {
      try {
        file->Close();
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
  }
  EndInputRead(d.inputBegun, failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace merolune
