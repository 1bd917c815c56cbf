// A new file beside a destination that gets the destination's name only when complete.

#include "PendingFile.h"

#include <unistd.h>

#include <cerrno>

#include "TemporaryFile.h"

namespace merolune {

bool PendingFile::Create(const std::string& destination) {
  Discard();
  const int fd = CreateFileBeside(destination, temporary_);
  if (fd < 0) return false;
  stream_ = fdopen(fd, "wb");
  if (!stream_) {
    const int error = errno;
    close(fd);
    Discard();
    errno = error;
    return false;
  }
  destination_ = destination;
  return true;
}

bool PendingFile::Close() {
  if (!stream_) return true;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  return closed;
}

bool PendingFile::Commit() {
  if (temporary_.empty()) {
    errno = ENOENT;
    return false;
  }
  if (!Close() || std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
    Discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void PendingFile::Discard() noexcept {
  const int error = errno;
  if (stream_) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    temporary_.clear();
  }
  errno = error;
}

}  // namespace merolune
