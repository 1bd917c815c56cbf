// New, uniquely named files beside a destination, for outputs that appear only when complete.

#include "TemporaryFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace merolune {

namespace {

// Names taken by other writers (or left over from a crash) are skipped; this many in a row means
// something other than a name clash is wrong.
constexpr int kNameAttempts = 100;
// What POSIX guarantees at the least and every Linux file system allows at the most.
constexpr long kDefaultNameMax = 255;

long NameMax(const std::string& directory) {
  const long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  return limit > 0 ? limit : kDefaultNameMax;
}

// The first `bytes` bytes of `name`, cut before a UTF-8 continuation byte so that no character is
// split.
std::string Prefix(const std::string& name, std::size_t bytes) {
  if (bytes >= name.size()) return name;
  while (bytes > 0 && (static_cast<unsigned char>(name[bytes]) & 0xC0) == 0x80) --bytes;
  return name.substr(0, bytes);
}

}  // namespace

int CreateFileBeside(const std::string& destination, std::string& path) {
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = destination.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : destination.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  const auto limit = static_cast<std::size_t>(NameMax(folder.empty() ? "." : folder));
  int error = EEXIST;
  for (int attempt = 0; attempt < kNameAttempts && error == EEXIST; ++attempt) {
    const std::string suffix = ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const std::size_t room = limit > suffix.size() + 1 ? limit - suffix.size() - 1 : 0;
    path = folder + "." + Prefix(name, room) + suffix;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    error = errno;
  }
  path.clear();
  errno = error;
  return -1;
}

}  // namespace merolune
