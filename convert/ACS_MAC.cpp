// The Monkey's Audio pipeline components over libmacdll.so.

#include "ACS_MAC.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "MacDllLib.h"
#include "MacErrors.h"

namespace merolune {

namespace {

// The system's reason for a write the library failed (a full disk), which its code does not carry:
// errno of the calling thread right after the call. Empty for other codes.
std::string WriteFailure(std::int32_t code, int error) {
  if (code != MAC_ERROR_IO_WRITE || error == 0) return {};
  return std::strerror(error);
}

}  // namespace

EAPEException::EAPEException(std::int32_t code)
    : EAuException("MACDll error: " + MacErrorText(code)), code_(code) {}

// ---------------------------------------------------------------------------------------------------
// TAPECompress, TAPEDecompress

TAPECompress::TAPECompress(const MacDllEntryPoints& api) : api_(api) {
  std::int32_t error = MAC_ERROR_SUCCESS;
  handle_ = api_.c_APECompress_Create(&error);
  if (error != MAC_ERROR_SUCCESS || handle_ == nullptr) {
    api_.c_APECompress_Destroy(handle_);
    throw EAPEException(error != MAC_ERROR_SUCCESS ? error : MAC_ERROR_INSUFFICIENT_MEMORY);
  }
}

TAPECompress::~TAPECompress() { api_.c_APECompress_Destroy(handle_); }

std::int32_t TAPECompress::Start(const std::string& path, std::int32_t sampleRate, std::int32_t bits,
                                 std::int32_t channels, std::int32_t maxAudioBytes, std::int32_t level) {
  // The record is the library's to check: Start refuses a format it cannot code with the code that says why.
  MacWaveFormat format{};
  api_.FillWaveFormatEx(&format, sampleRate, bits, channels);
  return api_.c_APECompress_Start(handle_, path.c_str(), &format, maxAudioBytes, level, nullptr, -1);
}

unsigned char* TAPECompress::LockBuffer(std::int32_t& bytesAvailable) {
  bytesAvailable = 0;
  return api_.c_APECompress_LockBuffer(handle_, &bytesAvailable);
}

std::int32_t TAPECompress::UnlockBuffer(std::int32_t bytesAdded) {
  return api_.c_APECompress_UnlockBuffer(handle_, bytesAdded, 1);
}

std::int32_t TAPECompress::Finish() { return api_.c_APECompress_Finish(handle_, nullptr, 0, 0); }

TAPEDecompress::TAPEDecompress(const MacDllEntryPoints& api, const std::string& path) : api_(api) {
  const std::wstring wide = QString::fromStdString(path).toStdWString();
  std::int32_t error = MAC_ERROR_SUCCESS;
  handle_ = api_.c_APEDecompress_CreateW(wide.c_str(), &error);
  if (error != MAC_ERROR_SUCCESS) {
    api_.c_APEDecompress_Destroy(handle_);
    handle_ = nullptr;
    throw EAPEException(error);
  }
}

TAPEDecompress::~TAPEDecompress() { api_.c_APEDecompress_Destroy(handle_); }

std::int64_t TAPEDecompress::Info(std::int32_t field) const {
  return api_.c_APEDecompress_GetInfo(handle_, field, 0, 0);
}

std::int32_t TAPEDecompress::GetData(std::uint8_t* buffer, std::int32_t blocks, std::int32_t& retrieved) {
  retrieved = 0;
  return api_.c_APEDecompress_GetData(handle_, reinterpret_cast<char*>(buffer), blocks, &retrieved);
}

std::int32_t TAPEDecompress::Seek(std::int32_t block) { return api_.c_APEDecompress_Seek(handle_, block); }

// ---------------------------------------------------------------------------------------------------
// TMACIn

TMACIn::TMACIn(QObject* owner) : TAuFileIn(owner), library_(std::make_unique<const MacDllLib>()) {
  library_->Require();
}

TMACIn::~TMACIn() { CloseSource(); }

void TMACIn::OpenSource() {
  const std::lock_guard lock(OpenLock());
  if (openCount_.load() > 0) return;
  decompressor_.reset();
  valid_.store(false);
  endOfData_ = false;
  channels_.store(0);
  sampleRate_.store(0);
  bitsPerSample_.store(0);
  totalSamples_.store(0);
  size_.store(0);
  frameBytes_ = 0;
  if (StreamAssigned()) throw EAuException(kApeReadsFilesOnly);

  auto decompressor = std::make_unique<TAPEDecompress>(library_->Api(), FileName());
  // A file refused without a code is as unusable as one refused with it: never an empty source.
  if (!decompressor->Usable()) throw EAPEException(MAC_ERROR_INVALID_INPUT_FILE);
  const std::int64_t size = decompressor->Info(MAC_INFO_WAV_TOTAL_BYTES);
  const std::int64_t rate = decompressor->Info(MAC_INFO_SAMPLE_RATE);
  const std::int64_t bits = decompressor->Info(MAC_INFO_BITS_PER_SAMPLE);
  const std::int64_t channels = decompressor->Info(MAC_INFO_CHANNELS);
  if (size < 0 || rate <= 0 || rate > INT32_MAX || (bits != 8 && bits != 16 && bits != 24) ||
      (channels != 1 && channels != 2)) {
    throw EAPEException(MAC_ERROR_INVALID_INPUT_FILE);
  }
  frameBytes_ = static_cast<std::int32_t>(channels * (bits / 8));
  fileFrames_ = size / frameBytes_;
  sampleRate_.store(static_cast<std::int32_t>(rate));
  bitsPerSample_.store(static_cast<std::int32_t>(bits));
  channels_.store(static_cast<std::int32_t>(channels));
  totalSamples_.store(fileFrames_);
  size_.store(fileFrames_ * frameBytes_);
  nextFrame_ = 0;
  bufStart_ = 1;
  bufEnd_ = 0;
  decompressor_ = std::move(decompressor);
  valid_.store(true);
  openCount_.store(1);
}

void TMACIn::CloseSource() {
  const std::lock_guard lock(OpenLock());
  decompressor_.reset();
  openCount_.store(0);
}

void TMACIn::SeekSample(std::int64_t sample) {
  const std::lock_guard lock(ReadLock());
  if (!decompressor_ || sample < 0 || sample > fileFrames_) return;
  const std::int32_t code = decompressor_->Seek(static_cast<std::int32_t>(sample));
  if (code != MAC_ERROR_SUCCESS) throw EAPEException(code);
  nextFrame_ = sample;
  bufStart_ = 1;
  bufEnd_ = 0;
  endOfData_ = false;
}

std::int32_t TMACIn::GetTotalSeconds() {
  try {
    OpenSource();
  } catch (const Exception&) {
    return 0;
  }
  const std::lock_guard lock(OpenLock());
  if (!decompressor_) return 0;
  const std::int64_t milliseconds = decompressor_->Info(MAC_DECOMPRESS_LENGTH_MS);
  return milliseconds > 0 ? static_cast<std::int32_t>(std::min<std::int64_t>(milliseconds / 1000, INT32_MAX))
                          : 0;
}

bool TMACIn::Refill() {
  bufStart_ = 1;
  bufEnd_ = 0;
  if (!decompressor_ || endOfData_ || frameBytes_ <= 0) return false;
  const std::int32_t limit = kBufferSize - kBufferSize % frameBytes_;
  while (bufEnd_ < limit) {
    const std::int32_t wanted = (kBufferSize - bufEnd_) / frameBytes_;
    std::int32_t got = 0;
    const std::int32_t code = decompressor_->GetData(buffer_.data() + bufEnd_, wanted, got);
    if (code != MAC_ERROR_SUCCESS) throw EAPEException(code);
    if (got <= 0) {
      endOfData_ = true;
      if (nextFrame_ < fileFrames_) {
        throw EAuException(kApeStreamShort + std::to_string(nextFrame_) + " of " +
                           std::to_string(fileFrames_) + " samples");
      }
      break;
    }
    if (got > wanted || nextFrame_ + got > fileFrames_) {
      throw EAuException(kApeStreamLong + std::to_string(fileFrames_) + " samples");
    }
    nextFrame_ += got;
    bufEnd_ += got * frameBytes_;
  }
  // The range asked for may end before the file does.
  const std::int64_t size = size_.load();
  if (position_.load() + bufEnd_ >= size) {
    bufEnd_ = static_cast<std::int32_t>(std::max<std::int64_t>(0, size - position_.load()));
    endOfData_ = true;
  }
  return bufEnd_ > 0;
}

void TMACIn::ReadBlock(const std::uint8_t*& buffer, std::int32_t& bytes) {
  ReadDecoded([this] { return Refill(); }, [this] { return buffer_.data(); }, buffer, bytes);
}

// ---------------------------------------------------------------------------------------------------
// TMACOut

TMACOut::TMACOut(QObject* owner) : TAuFileOut(owner), library_(std::make_unique<const MacDllLib>()) {
  library_->Require();
}

TMACOut::~TMACOut() { ShutDown(); }

void TMACOut::SetCompressionLevel(std::int32_t level) {
  const bool known = level == 1000 || level == 2000 || level == 3000 || level == 4000;
  compressionLevel_.store(known ? level : 2000);
}

void TMACOut::PrepareOutput() {
  compressor_.reset();
  inputBegun_ = false;
  endOfInput_ = false;
  complete_ = false;
  frameBytes_ = 0;
  if (FileName().empty()) throw EAuException(kAuOutputFileNameNotAssigned);
  TAuInput* input = Input();
  input->BeginRead();
  inputBegun_ = true;
  compressor_ = std::make_unique<TAPECompress>(library_->Api());
  const std::int32_t channels = input->Channels();
  const std::int32_t bits = input->BitsPerSample();
  errno = 0;
  const std::int32_t code = compressor_->Start(FileName(), input->SampleRate(), bits, channels,
                                               MaxAudioBytes(), CompressionLevel());
  if (code != MAC_ERROR_SUCCESS) {
    const std::string reason = WriteFailure(code, errno);
    throw EAuException(kApeStartFailed + MacErrorText(code) + (reason.empty() ? "" : ": " + reason));
  }
  frameBytes_ = channels * (bits / 8);
  complete_ = true;
}

bool TMACOut::ProcessBlock(bool abort) {
  if (!Active()) return true;
  if (abort) complete_ = false;
  if (abort || endOfInput_) return false;
  try {
    const std::int32_t capacity = kBlockBytes - kBlockBytes % frameBytes_;
    std::int32_t filled = 0;
    while (filled < capacity) {
      const std::int32_t got = Input()->CopyBlock(buffer_.data() + filled, capacity - filled);
      if (got <= 0) {
        endOfInput_ = true;
        break;
      }
      filled += got;
    }
    for (std::int32_t done = 0; done < filled;) {
      std::int32_t room = 0;
      unsigned char* at = compressor_->LockBuffer(room);
      if (at == nullptr || room <= 0) throw EAuException(kApeLockFailed);
      const std::int32_t count = std::min(room, filled - done);
      std::memcpy(at, buffer_.data() + done, static_cast<std::size_t>(count));
      errno = 0;
      const std::int32_t code = compressor_->UnlockBuffer(count);
      if (code != MAC_ERROR_SUCCESS) {
        const std::string reason = WriteFailure(code, errno);
        throw EAuException(kApeUnlockFailed + std::to_string(code) +
                           (reason.empty() ? "" : " (" + reason + ")"));
      }
      done += count;
    }
  } catch (...) {
    // The file of a failed run is never put in place.
    complete_ = false;
    throw;
  }
  return true;
}

void TMACOut::FinishOutput() {
  std::exception_ptr failure;
  if (compressor_ && complete_) {
    errno = 0;
    const std::int32_t code = compressor_->Finish();
    if (code != MAC_ERROR_SUCCESS) {
      const std::string reason = WriteFailure(code, errno);
      failure = std::make_exception_ptr(EAuException(kApeFinishFailed + std::to_string(code) + " (" +
                                                     MacErrorText(code) +
                                                     (reason.empty() ? "" : ": " + reason) + ")"));
    }
  }
  // Destroying an unfinished compressor removes what it wrote.
  compressor_.reset();
  complete_ = false;
  EndInputRead(inputBegun_, failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace merolune
