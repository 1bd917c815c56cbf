// The Ogg Vorbis pipeline components: TVorbisIn decodes an Ogg Vorbis file, TVorbisOut encodes one.

#include "ACS_Vorbis.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <optional>
#include <utility>

#include "LittleEndian.h"
#include "OggVorbisLib.h"

namespace merolune {

namespace {

// Followed by vorbisfile's result code in decimal.
constexpr char kFailedToOpenOgg[] = "Failed to open an ogg file: ";
constexpr char kFailedToDecodeOgg[] = "Failed to decode an ogg file: ";
constexpr char kMixedFormatChain[] =
    "Failed to open an ogg file: its parts differ in channels or sample rate";
constexpr char kVorbisSeekFailed[] = "Seek failed";
constexpr char kNothingDecoded[] = "Failed to decode an ogg file: no audio could be decoded from it";
constexpr char kBitrateRefused[] = "Vorbis codec setup with the requested bitrate failed. Try lower bitrate";
// Followed by the quality, rate and channels that were refused.
constexpr char kQualityRefused[] = "Vorbis codec setup with the requested quality failed: ";
constexpr char kVorbisSetupFailed[] = "Vorbis encoder could not be set up";
// Followed by the input's format.
constexpr char kUnsupportedPcm[] = "Vorbis encoder cannot take this PCM: ";

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The leading decimal number of a track comment ("7", "07/12"); 0 when there is none.
std::int32_t TrackNumber(const std::string& value) {
  std::int64_t number = 0;
  std::size_t i = 0;
  while (i < value.size() && value[i] == ' ') ++i;
  const std::size_t first = i;
  while (i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])) && number < 100000000) {
    number = number * 10 + (value[i] - '0');
    ++i;
  }
  return i > first ? static_cast<std::int32_t>(number) : 0;
}

// The largest Ogg page: a 27-byte header, 255 lacing values and 255 segments of 255 bytes.
constexpr std::uint64_t kMaxOggPage = 27 + 255 + 255 * 255;

// The granule position of the last page of logical stream `serial` found in the stream's last two
// pages' worth of bytes, read with libogg's page sync, which checks each page's checksum; nothing when
// there is no such page. Leaves the stream's position where it was.
std::optional<ogg_int64_t> LastGranule(const OggVorbisApi& api, merolune::Stream& source, long serial) {
  struct Sync {
    explicit Sync(const OggVorbisApi& library) : api(library) { api.ogg_sync_init(&state); }
    ~Sync() { api.ogg_sync_clear(&state); }
    Sync(const Sync&) = delete;
    Sync& operator=(const Sync&) = delete;
    const OggVorbisApi& api;
    ogg_sync_state state{};
  } sync(api);

  const std::uint64_t back = source.Position();
  const std::uint64_t size = source.Size();
  source.Seek(static_cast<std::int64_t>(size - std::min(size, 2 * kMaxOggPage)), SeekOrigin::Begin);
  std::optional<ogg_int64_t> granule;
  constexpr std::size_t kChunk = 8192;
  for (;;) {
    char* buffer = api.ogg_sync_buffer(&sync.state, kChunk);
    if (buffer == nullptr) break;
    const std::size_t got = source.Read(buffer, kChunk);
    if (got == 0) break;
    api.ogg_sync_wrote(&sync.state, static_cast<long>(got));
    ogg_page page{};
    long result = 0;
    while ((result = api.ogg_sync_pageseek(&sync.state, &page)) != 0) {
      if (result > 0 && api.ogg_page_serialno(&page) == serial) granule = api.ogg_page_granulepos(&page);
    }
  }
  source.Seek(static_cast<std::int64_t>(back), SeekOrigin::Begin);
  return granule;
}

}  // namespace

std::int32_t VorbisBitRateBps(TVorbisBitRate rate) {
  // kbit/s in the order of the enumeration.
  constexpr std::array<std::int32_t, 18> kKbps = {-1,  24,  32,  45,  48,  56,  64,  80,  96,
                                                  112, 128, 144, 160, 192, 224, 256, 320, 499};
  const auto index = static_cast<std::size_t>(rate);
  if (index == 0 || index >= kKbps.size()) return -1;
  return kKbps[index] * 1000;
}

// ---------------------------------------------------------------------------------------------------
// TVorbisIn

// The vorbisfile state of one open source and the stream it reads. vorbisfile reads through the
// callbacks below with this object as its data source; they never throw: a stream error is stored in
// `error`, reported to vorbisfile as a failed read, and rethrown by the caller once vorbisfile returns.
struct TVorbisIn::Decoder {
  explicit Decoder(const OggVorbisApi& library) : api(library) {}
  ~Decoder() {
    if (open) api.ov_clear(&file);
    if (!ownStream && source != nullptr) {
      // The caller's stream goes back to its start, so that the next reading starts over.
      try {
        source->Seek(0, SeekOrigin::Begin);
      } catch (...) {
        // Closing never fails; the next open seeks anyway.
      }
    }
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Rethrows what a callback stored during the last vorbisfile call.
  void RethrowStoredError() {
    if (error) std::rethrow_exception(std::exchange(error, nullptr));
  }

  static std::size_t Read(void* ptr, std::size_t size, std::size_t count, void* self) noexcept;
  static int Seek(void* self, ogg_int64_t offset, int whence) noexcept;
  static long Tell(void* self) noexcept;

  const OggVorbisApi& api;
  OggVorbis_File file{};
  bool open = false;  // file needs ov_clear
  bool seekable = true;
  std::unique_ptr<TAuFileStream> ownStream;
  merolune::Stream* source = nullptr;
  std::exception_ptr error;
};

std::size_t TVorbisIn::Decoder::Read(void* ptr, std::size_t size, std::size_t count, void* self) noexcept {
  auto& decoder = *static_cast<Decoder*>(self);
  if (size == 0 || count == 0) return 0;
  try {
    const std::size_t bytes = size * std::min(count, std::numeric_limits<std::size_t>::max() / size);
    // Short reads are fine for vorbisfile; it asks again.
    return decoder.source->Read(ptr, bytes) / size;
  } catch (...) {
    if (!decoder.error) decoder.error = std::current_exception();
    // vorbisfile tells a read error from the end of the data by errno.
    errno = EIO;
    return 0;
  }
}

int TVorbisIn::Decoder::Seek(void* self, ogg_int64_t offset, int whence) noexcept {
  auto& decoder = *static_cast<Decoder*>(self);
  // -1 makes vorbisfile treat the source as a plain stream.
  if (!decoder.seekable) return -1;
  try {
    SeekOrigin origin = SeekOrigin::End;
    if (whence == SEEK_SET) origin = SeekOrigin::Begin;
    if (whence == SEEK_CUR) origin = SeekOrigin::Current;
    decoder.source->Seek(offset, origin);
    return 0;
  } catch (...) {
    return -1;
  }
}

long TVorbisIn::Decoder::Tell(void* self) noexcept {
  auto& decoder = *static_cast<Decoder*>(self);
  return static_cast<long>(decoder.source->Position());
}

TVorbisIn::TVorbisIn(QObject* owner) : TAuFileIn(owner), library_(std::make_unique<const OggVorbisLib>()) {
  library_->Require();
}

TVorbisIn::~TVorbisIn() { CloseSource(); }

TOggTags TVorbisIn::Tags() const {
  const std::lock_guard lock(tagsMutex_);
  return tags_;
}

void TVorbisIn::OpenSource() {
  const std::lock_guard lock(OpenLock());
  if (openCount_.load() > 0) return;
  // Anything an earlier open left goes first: replaced later, it would rewind the stream under the new one.
  decoder_.reset();
  valid_.store(false);
  endOfData_ = false;
  streamNumber_ = -1;
  channels_.store(0);
  sampleRate_.store(0);
  bitsPerSample_.store(0);
  totalSamples_.store(0);
  size_.store(0);
  totalTime_.store(0);
  maximumBitrate_.store(0);
  nominalBitrate_.store(0);
  minimumBitrate_.store(0);
  {
    const std::lock_guard tagsLock(tagsMutex_);
    tags_ = {};
  }

  const OggVorbisApi& api = library_->Api();
  auto decoder = std::make_unique<Decoder>(api);
  decoder->seekable = Seekable();
  if (StreamAssigned()) {
    decoder->source = stream_.load();
    decoder->source->Seek(0, SeekOrigin::Begin);
  } else {
    try {
      decoder->ownStream = std::make_unique<TAuFileStream>(
          FileName(), TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite);
    } catch (const EAuException&) {
      // A named file that cannot be opened leaves the input invalid and empty rather than throwing.
      return;
    }
    decoder->source = decoder->ownStream.get();
  }

  const ov_callbacks callbacks{&Decoder::Read, &Decoder::Seek, nullptr, &Decoder::Tell};
  int result = api.ov_test_callbacks(decoder.get(), &decoder->file, nullptr, 0, callbacks);
  // On failure vorbisfile has cleared the state itself.
  decoder->RethrowStoredError();
  if (result != 0) throw EAuException(kFailedToOpenOgg + std::to_string(result));
  decoder->open = true;
  result = api.ov_test_open(&decoder->file);
  decoder->RethrowStoredError();
  if (result != 0) throw EAuException(kFailedToOpenOgg + std::to_string(result));

  const vorbis_info* info = api.ov_info(&decoder->file, -1);
  if (info == nullptr || info->channels < 1 || info->rate < 1)
    throw EAuException(kFailedToOpenOgg + std::string("-1"));
  // ov_read switches to each part's format as it goes, which one WAV header cannot follow.
  const long links = api.ov_streams(&decoder->file);
  for (long i = 1; i < links; ++i) {
    const vorbis_info* link = api.ov_info(&decoder->file, static_cast<int>(i));
    if (link == nullptr || link->channels != info->channels || link->rate != info->rate) {
      throw EAuException(kMixedFormatChain);
    }
  }

  TOggTags tags;
  if (const vorbis_comment* comment = api.ov_comment(&decoder->file, -1); comment != nullptr) {
    for (int i = 0; i < comment->comments; ++i) {
      if (comment->user_comments[i] == nullptr || comment->comment_lengths[i] < 0) continue;
      const std::string entry(comment->user_comments[i],
                              static_cast<std::size_t>(comment->comment_lengths[i]));
      const std::size_t equals = entry.find('=');
      if (equals == std::string::npos) continue;
      const std::string name = LowerCase(entry.substr(0, equals));
      std::string value = entry.substr(equals + 1);
      if (name == "artist") {
        tags.Artist = std::move(value);
      } else if (name == "album") {
        tags.Album = std::move(value);
      } else if (name == "title") {
        tags.Title = std::move(value);
      } else if (name == "date") {
        tags.Date = std::move(value);
      } else if (name == "genre") {
        tags.Genre = std::move(value);
      } else if (name == "track" || name == "tracknumber") {
        tags.Track = TrackNumber(value);
      }
    }
  }
  {
    const std::lock_guard tagsLock(tagsMutex_);
    tags_ = std::move(tags);
  }

  channels_.store(info->channels);
  sampleRate_.store(static_cast<std::int32_t>(std::min<long>(info->rate, INT32_MAX)));
  bitsPerSample_.store(16);
  const auto clampRate = [](long rate) {
    return static_cast<std::int32_t>(std::clamp<long>(rate, -1, INT32_MAX));
  };
  maximumBitrate_.store(clampRate(info->bitrate_upper));
  nominalBitrate_.store(clampRate(info->bitrate_nominal));
  minimumBitrate_.store(clampRate(info->bitrate_lower));
  // The length the stream states through its granule positions, read by vorbisfile: unknown
  // (negative) for a source it cannot seek in, and so is one whose size in bytes would not fit a
  // 64-bit count (a damaged or hostile last granule). TWaveOut then patches its header at the end.
  ogg_int64_t total = api.ov_pcm_total(&decoder->file, -1);
  if (total > std::numeric_limits<std::int64_t>::max() / FrameBytes()) total = -1;
  // vorbisfile also answers 0 when the last page's granule position is negative (-1: no packet ends
  // on it), which states no length at all: only a last page that says 0 makes an empty stream.
  if (total == 0 && decoder->seekable) {
    const std::optional<ogg_int64_t> last =
        LastGranule(api, *decoder->source, api.ov_serialnumber(&decoder->file, static_cast<int>(links - 1)));
    if (!last || *last < 0) total = -1;
  }
  totalSamples_.store(total < 0 ? -1 : total);
  size_.store(total < 0 ? -1 : total * FrameBytes());
  emptyAllowed_ = total == 0;
  const double seconds = api.ov_time_total(&decoder->file, -1);
  totalTime_.store(seconds > 0 ? static_cast<std::int32_t>(std::lround(std::min(seconds, 2e9))) : 0);
  bufStart_ = 1;
  bufEnd_ = 0;
  decoder_ = std::move(decoder);
  valid_.store(true);
  openCount_.store(1);
}

void TVorbisIn::CloseSource() {
  const std::lock_guard lock(OpenLock());
  decoder_.reset();
  openCount_.store(0);
}

void TVorbisIn::SeekSample(std::int64_t sample) {
  const std::lock_guard lock(ReadLock());
  if (!decoder_ || sample < 0) return;
  const int result = decoder_->api.ov_pcm_seek(&decoder_->file, sample);
  decoder_->RethrowStoredError();
  if (result != 0) throw EAuException(kVorbisSeekFailed);
  bufStart_ = 1;
  bufEnd_ = 0;
  endOfData_ = false;
  // A range that starts further on may hold nothing at all.
  if (sample > 0) emptyAllowed_ = true;
}

bool TVorbisIn::Refill() {
  bufStart_ = 1;
  bufEnd_ = 0;
  const std::int32_t frameBytes = FrameBytes();
  if (!decoder_ || endOfData_ || frameBytes <= 0) return false;
  const std::int64_t size = size_.load();
  // ov_read hands out whole frames only, so stop when less than one fits.
  while (kBufferSize - bufEnd_ >= frameBytes) {
    int link = -1;
    const long got = decoder_->api.ov_read(&decoder_->file, reinterpret_cast<char*>(buffer_.data() + bufEnd_),
                                           kBufferSize - bufEnd_, 0, 2, 1, &link);
    decoder_->RethrowStoredError();
    // A hole (lost or damaged pages) is reported once; the decoding goes on after it.
    if (got == OV_HOLE) continue;
    if (got < 0) throw EAuException(kFailedToDecodeOgg + std::to_string(got));
    if (got == 0) {
      endOfData_ = true;
      // Headers that parse but no audio behind them is a damaged file, not a silent song.
      if (!emptyAllowed_) throw EAuException(kNothingDecoded);
      break;
    }
    emptyAllowed_ = true;
    streamNumber_ = link;
    bufEnd_ += static_cast<std::int32_t>(got);
    // The buffer is empty when refilled, so Position counts every byte decoded before it.
    if (size >= 0 && position_.load() + bufEnd_ >= size) {
      bufEnd_ = static_cast<std::int32_t>(std::max<std::int64_t>(0, size - position_.load()));
      endOfData_ = true;
      break;
    }
  }
  return bufEnd_ > 0;
}

void TVorbisIn::ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) {
  ReadDecoded([this] { return Refill(); }, [this] { return buffer_.data(); }, buffer, bytes);
}

// ---------------------------------------------------------------------------------------------------
// TVorbisOut

// The libvorbis and libogg state of one encoding, each part cleared only if it was initialised, so a
// PrepareOutput that failed halfway leaves nothing behind.
struct TVorbisOut::Encoder {
  explicit Encoder(const OggVorbisApi& library) : api(library) {}
  ~Encoder() {
    if (streamReady) api.ogg_stream_clear(&stream);
    if (blockReady) api.vorbis_block_clear(&block);
    if (dspReady) api.vorbis_dsp_clear(&dsp);
    if (commentReady) api.vorbis_comment_clear(&comment);
    if (infoReady) api.vorbis_info_clear(&info);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  const OggVorbisApi& api;
  vorbis_info info{};
  vorbis_comment comment{};
  vorbis_dsp_state dsp{};
  vorbis_block block{};
  ogg_stream_state stream{};
  bool infoReady = false;
  bool commentReady = false;
  bool dspReady = false;
  bool blockReady = false;
  bool streamReady = false;
  std::int32_t channels = 0;
  std::int32_t bits = 0;
  std::int32_t frameBytes = 0;
  bool endMarked = false;    // the end of the input was passed to the encoder
  bool endOfStream = false;  // the page with the end-of-stream flag was written
};

TVorbisOut::TVorbisOut(QObject* owner) : TAuFileOut(owner), library_(std::make_unique<const OggVorbisLib>()) {
  library_->Require();
}

TVorbisOut::~TVorbisOut() { ShutDown(); }

TOggTags TVorbisOut::Comments() const {
  const std::lock_guard lock(commentsMutex_);
  return comments_;
}

void TVorbisOut::SetComments(const TOggTags& comments) {
  const std::lock_guard lock(commentsMutex_);
  comments_ = comments;
}

void TVorbisOut::SetFileMode(TFileOutputMode mode) { fileMode_.store(mode); }

namespace {

void WritePage(merolune::Stream& stream, const ogg_page& page) {
  stream.Write(page.header, static_cast<std::size_t>(page.header_len));
  stream.Write(page.body, static_cast<std::size_t>(page.body_len));
}

std::string QualityRefusedMessage(float quality, std::int32_t rate, std::int32_t channels) {
  char text[128];
  std::snprintf(text, sizeof text, "quality %.2f at %d Hz with %d channel%s", static_cast<double>(quality),
                rate, channels, channels == 1 ? "" : "s");
  return kQualityRefused + std::string(text);
}

}  // namespace

void TVorbisOut::PrepareOutput() {
  encoder_.reset();
  merolune::Stream* stream = OpenDestinationAndInput(inputBegun_);
  TAuInput* input = Input();
  if (FileMode() == TFileOutputMode::foAppend) stream->Seek(0, SeekOrigin::End);

  const OggVorbisApi& api = library_->Api();
  encoder_ = std::make_unique<Encoder>(api);
  Encoder& e = *encoder_;
  // Asked after BeginRead, so they describe the PCM the input really delivers.
  e.channels = input->Channels();
  e.bits = input->BitsPerSample();
  const std::int32_t rate = input->SampleRate();
  if (e.channels < 1 || e.channels > 255 || rate < 1 ||
      (e.bits != 8 && e.bits != 16 && e.bits != 24 && e.bits != 32)) {
    throw EAuException(kUnsupportedPcm + std::to_string(e.channels) + " channels, " + std::to_string(rate) +
                       " Hz, " + std::to_string(e.bits) + " bits");
  }
  e.frameBytes = e.channels * (e.bits / 8);

  api.vorbis_info_init(&e.info);
  e.infoReady = true;
  if (DesiredNominalBitrate() == TVorbisBitRate::brAutoSelect) {
    const float quality = Compression();
    // The encoder refuses a quality below its lowest mode and a rate it has no mode for; NaN would slip
    // through its range checks.
    if (!std::isfinite(quality) || api.vorbis_encode_setup_vbr(&e.info, e.channels, rate, quality) != 0 ||
        api.vorbis_encode_setup_init(&e.info) != 0) {
      throw EAuException(QualityRefusedMessage(quality, rate, e.channels));
    }
  } else {
    const std::int32_t nominal = VorbisBitRateBps(DesiredNominalBitrate());
    const std::int32_t maximum = VorbisBitRateBps(DesiredMaximumBitrate());
    const std::int32_t minimum =
        MinimumBitrate() == TVorbisBitRate::brAutoSelect ? nominal : VorbisBitRateBps(MinimumBitrate());
    if (api.vorbis_encode_init(&e.info, e.channels, rate, maximum, nominal, minimum) != 0) {
      throw EAuException(kBitrateRefused);
    }
  }

  api.vorbis_comment_init(&e.comment);
  e.commentReady = true;
  const TOggTags tags = Comments();
  const std::pair<const char*, std::string> entries[] = {
      {"TITLE", tags.Title}, {"ARTIST", tags.Artist},
      {"ALBUM", tags.Album}, {"DATE", tags.Date},
      {"GENRE", tags.Genre}, {"TRACKNUMBER", tags.Track != 0 ? std::to_string(tags.Track) : std::string()}};
  for (const auto& [name, value] : entries) {
    if (!value.empty()) api.vorbis_comment_add_tag(&e.comment, name, value.c_str());
  }

  if (api.vorbis_analysis_init(&e.dsp, &e.info) != 0) throw EAuException(kVorbisSetupFailed);
  e.dspReady = true;
  if (api.vorbis_block_init(&e.dsp, &e.block) != 0) throw EAuException(kVorbisSetupFailed);
  e.blockReady = true;
  if (api.ogg_stream_init(&e.stream, Serial()) != 0) throw EAuException(kVorbisSetupFailed);
  e.streamReady = true;

  ogg_packet identification{};
  ogg_packet comments{};
  ogg_packet codebooks{};
  if (api.vorbis_analysis_headerout(&e.dsp, &e.comment, &identification, &comments, &codebooks) != 0) {
    throw EAuException(kVorbisSetupFailed);
  }
  api.ogg_stream_packetin(&e.stream, &identification);
  api.ogg_stream_packetin(&e.stream, &comments);
  api.ogg_stream_packetin(&e.stream, &codebooks);
  // The audio starts on a page of its own, as decoders expect.
  ogg_page page{};
  while (api.ogg_stream_flush(&e.stream, &page) != 0) WritePage(*stream, page);
}

bool TVorbisOut::ProcessBlock(bool abort) {
  if (!Active()) return true;
  if (abort || !encoder_ || encoder_->endOfStream) return false;
  Encoder& e = *encoder_;
  const OggVorbisApi& api = e.api;
  merolune::Stream& stream = *Stream();
  ogg_page page{};
  if (e.endMarked) {
    // The end-of-stream packet forces out the last page; should one still be held back, flush it.
    while (api.ogg_stream_flush(&e.stream, &page) != 0) WritePage(stream, page);
    e.endOfStream = true;
    return false;
  }

  const std::uint8_t* data = nullptr;
  std::int32_t bytes = kBlockBytes;
  Input()->ReadBlock(data, bytes);
  const std::int32_t frames = data != nullptr && bytes > 0 ? bytes / e.frameBytes : 0;
  if (frames > 0) {
    float** channels = api.vorbis_analysis_buffer(&e.dsp, frames);
    const std::uint8_t* at = data;
    for (std::int32_t f = 0; f < frames; ++f) {
      for (std::int32_t c = 0; c < e.channels; ++c) {
        float value = 0;
        switch (e.bits) {
          case 8:
            value = static_cast<float>(at[0] - 128) / 128.0F;
            break;
          case 16:
            value = static_cast<float>(LoadS16(at)) / 32768.0F;
            break;
          case 24:
            value = static_cast<float>(LoadS24(at)) / 8388608.0F;
            break;
          default:
            value = static_cast<float>(static_cast<double>(LoadS32(at)) / 2147483648.0);
            break;
        }
        channels[c][f] = value;
        at += e.bits / 8;
      }
    }
    api.vorbis_analysis_wrote(&e.dsp, frames);
  } else {
    api.vorbis_analysis_wrote(&e.dsp, 0);
    e.endMarked = true;
  }

  ogg_packet packet{};
  while (api.vorbis_analysis_blockout(&e.dsp, &e.block) == 1) {
    api.vorbis_analysis(&e.block, nullptr);
    api.vorbis_bitrate_addblock(&e.block);
    while (api.vorbis_bitrate_flushpacket(&e.dsp, &packet) == 1) {
      api.ogg_stream_packetin(&e.stream, &packet);
      while (!e.endOfStream && api.ogg_stream_pageout(&e.stream, &page) != 0) {
        WritePage(stream, page);
        if (api.ogg_page_eos(&page) != 0) e.endOfStream = true;
      }
    }
  }
  return true;
}

void TVorbisOut::FinishOutput() {
  std::exception_ptr failure;
  ReleaseDestinationAndInput(inputBegun_, failure);
  {
    // The comments belong to one file; the next one gets its own.
    const std::lock_guard lock(commentsMutex_);
    comments_ = {};
  }
  encoder_.reset();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace merolune
