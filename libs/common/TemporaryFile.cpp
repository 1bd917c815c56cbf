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

}  // namespace

int CreateFileBeside(const std::string& destination, std::string& path) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = destination + ".part-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  path.clear();
  return -1;
}

}  // namespace merolune
