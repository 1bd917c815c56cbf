// A new file beside a destination that gets the destination's name only when complete.

#include "PendingFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "TemporaryFile.h"

namespace merolune {

namespace {

// The file `path` names once its symbolic links are followed (up to the system's limit of hops); a
// link whose target does not exist yet gives that target's path. Empty, errno set, when a link
// cannot be read or the links go round.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t size = readlink(path.c_str(), target.data(), target.size() - 1);
    if (size < 0) return {};
    const std::string named(target.data(), static_cast<std::size_t>(size));
    const std::size_t slash = path.rfind('/');
    // A relative target is relative to the link's own folder.
    path = named.front() == '/' || slash == std::string::npos ? named : path.substr(0, slash + 1) + named;
  }
  errno = ELOOP;
  return {};
}

}  // namespace

bool PendingFile::Create(const std::string& requested) {
  Discard();
  const std::string destination = FollowLinks(requested);
  if (destination.empty()) return false;
  if (struct stat info{}; stat(destination.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return false;
  }
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
