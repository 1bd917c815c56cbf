// The Ogg Opus pipeline component: TOpusOut encodes the PCM of its input with libopusenc.

#include "ACS_Opus.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "LittleEndian.h"
#include "OpusEncLib.h"

namespace merolune {

namespace {

// Bytes asked from the input per block.
constexpr std::int32_t kBlockBytes = 16384;

// `count` little-endian samples of `bytes` bytes each (8 bits unsigned, wider ones signed) as floats
// in -1..1, the scale libopusenc takes.
void ToFloat(const std::uint8_t* in, std::size_t count, std::int32_t bytes, float* out) {
  switch (bytes) {
    case 1:
      for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(in[i] - 128) / 128.0f;
      break;
    case 2:
      for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(LoadS16(in + 2 * i)) / 32768.0f;
      break;
    case 3:
      for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(LoadS24(in + 3 * i)) / 8388608.0f;
      break;
    default:
      for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(static_cast<double>(LoadS32(in + 4 * i)) / 2147483648.0);
      break;
  }
}

}  // namespace

// One encoding: libopusenc's encoder and comments, and what its write callback could not pass on.
struct TOpusOut::Encoder {
  explicit Encoder(const OpusEncEntryPoints& functions) : api(functions) {}
  ~Encoder() {
    if (encoder != nullptr) api.ope_encoder_destroy(encoder);
    if (comments != nullptr) api.ope_comments_destroy(comments);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // libopusenc's write callback: the stream's exception is kept for the caller, never thrown
  // through the C library.
  static int Write(void* user, const unsigned char* bytes, opus_int32 size) {
    auto& e = *static_cast<Encoder*>(user);
    try {
      e.stream->Write(bytes, static_cast<std::size_t>(size));
      return 0;
    } catch (...) {
      if (!e.writeFailure) e.writeFailure = std::current_exception();
      return 1;
    }
  }
  static int Close(void*) { return 0; }

  // Throws the write callback's exception, or kOpusEncodingFailed for a failing `code`.
  void Check(int code) const {
    if (writeFailure) std::rethrow_exception(writeFailure);
    if (code != OPE_OK) throw EAuException(kOpusEncodingFailed + std::string(api.ope_strerror(code)));
  }

  const OpusEncEntryPoints& api;
  OggOpusComments* comments = nullptr;
  OggOpusEnc* encoder = nullptr;
  merolune::Stream* stream = nullptr;
  std::exception_ptr writeFailure;
  std::int32_t channels = 0;
  std::int32_t sampleBytes = 0;
  std::vector<float> pcm;  // one block
};

TOpusOut::TOpusOut(QObject* owner) : TAuFileOut(owner), library_(std::make_unique<const OpusEncLib>()) {
  library_->Require();
}

TOpusOut::~TOpusOut() { ShutDown(); }

void TOpusOut::SetBitRate(std::int32_t kbps) { bitRate_.store(std::clamp(kbps, kOpusKbpsMin, kOpusKbpsMax)); }

void TOpusOut::PrepareOutput() {
  encoder_.reset();
  merolune::Stream* stream = OpenDestinationAndInput(inputBegun_);
  TAuInput* input = Input();
  const std::int32_t channels = input->Channels();
  const std::int32_t bits = input->BitsPerSample();
  if ((channels != 1 && channels != 2) || (bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
    throw EAuException(kOpusUnsupportedInput + std::to_string(channels) + " channels of " +
                       std::to_string(bits) + " bits");
  }

  encoder_ = std::make_unique<Encoder>(library_->Api());
  Encoder& e = *encoder_;
  const OpusEncEntryPoints& api = e.api;
  e.stream = stream;
  e.channels = channels;
  e.sampleBytes = bits / 8;
  e.comments = api.ope_comments_create();
  if (e.comments == nullptr) e.Check(OPE_ALLOC_FAIL);
  const OpusEncCallbacks callbacks{&Encoder::Write, &Encoder::Close};
  int error = OPE_OK;
  // Family 0: mono or stereo in one stream.
  e.encoder =
      api.ope_encoder_create_callbacks(&callbacks, &e, e.comments, input->SampleRate(), channels, 0, &error);
  if (e.encoder == nullptr && error == OPE_OK) error = OPE_INTERNAL_ERROR;
  e.Check(error);
  e.Check(api.ope_encoder_ctl(e.encoder, OPUS_SET_BITRATE(BitRate() * 1000)));
  e.pcm.assign(static_cast<std::size_t>(kBlockBytes / e.sampleBytes), 0.0f);
}

bool TOpusOut::ProcessBlock(bool abort) {
  if (!Active()) return true;
  if (abort) return false;
  const std::uint8_t* data = nullptr;
  std::int32_t bytes = kBlockBytes;
  Input()->ReadBlock(data, bytes);
  if (bytes <= 0 || data == nullptr) return false;
  Encoder& e = *encoder_;
  const std::int32_t samples = bytes / e.sampleBytes;
  ToFloat(data, static_cast<std::size_t>(samples), e.sampleBytes, e.pcm.data());
  e.Check(e.api.ope_encoder_write_float(e.encoder, e.pcm.data(), samples / e.channels));
  return true;
}

void TOpusOut::FinishOutput() {
  std::exception_ptr failure;
  if (encoder_ && encoder_->encoder != nullptr) {
    // The end of the stream: the last packets, the granule position that ends at the source's last
    // sample, and the last page.
    try {
      encoder_->Check(encoder_->api.ope_encoder_drain(encoder_->encoder));
    } catch (...) {
      failure = std::current_exception();
    }
  }
  encoder_.reset();
  ReleaseDestinationAndInput(inputBegun_, failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace merolune
