// Where a job's result goes: checked before the work, made beside the old file, put in place whole.

#include "DestinationFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Exception.h"
#include "Paths.h"
#include "Stream.h"
#include "TemporaryFile.h"

namespace merolune {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxLinks = 40;
constexpr std::size_t kDefaultNameMax = 255;

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a chain of symbolic links starting at `path` ends at; `path` itself when it is no link.
// The end need not exist (a dangling link). 0 in `error`, or ELOOP.
std::string FollowLinks(std::string path, int& error) {
  error = 0;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0) return path;
    link.resize(static_cast<std::size_t>(n));
    path = !link.empty() && link.front() == '/' ? link : Folder(path) + "/" + link;
  }
  error = ELOOP;
  return path;
}

std::size_t NameMax(const std::string& folder) {
  const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : kDefaultNameMax;
}

// The folders of `folder` that do not exist yet, outermost first, and the nearest one that does.
std::vector<std::string> MissingFolders(std::string folder, std::string& existing) {
  std::vector<std::string> missing;
  struct stat st {};
  while (::stat(folder.c_str(), &st) != 0 && errno == ENOENT) {
    missing.insert(missing.begin(), folder);
    const std::string up = Folder(folder);
    if (up == folder) break;
    folder = up;
  }
  existing = folder;
  return missing;
}

}  // namespace

DestinationFile::DestinationFile(std::string destination) : destination_(std::move(destination)) {
  if (destination_.empty()) throw Exception(kNoDestination);
  // "song.wav/" names a folder, whatever exists there.
  if (destination_.back() == '/') Fail(EISDIR);
  if (destination_.size() >= PATH_MAX) Fail(ENAMETOOLONG);
  int error = 0;
  target_ = FollowLinks(destination_, error);
  if (error) Fail(error);

  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) Fail(EISDIR);
    // A socket cannot be opened as a file.
    if (S_ISSOCK(st.st_mode)) Fail(ENXIO);
    // A file the user made read-only is not replaced behind their back.
    if (::access(target_.c_str(), W_OK) != 0) Fail(errno);
    writesThrough_ = !S_ISREG(st.st_mode);
    if (!writesThrough_) CheckFolder(Folder(target_));
    return;
  }
  if (errno != ENOENT) Fail(errno);
  CheckFolder(Folder(target_));
  if (Name(target_).size() > NameMax(Folder(target_))) Fail(ENAMETOOLONG);
}

bool DestinationFile::SameTarget(const std::string& other) const {
  int error = 0;
  const std::string otherTarget = FollowLinks(other, error);
  std::error_code errorA, errorB;
  const std::filesystem::path a = std::filesystem::weakly_canonical(target_, errorA);
  const std::filesystem::path b = std::filesystem::weakly_canonical(otherTarget, errorB);
  return !error && !errorA && !errorB && a == b;
}

DestinationFile::~DestinationFile() {
  if (!committed_ && !workPath_.empty()) ::unlink(workPath_.c_str());
  if (committed_) return;
  // Only folders left empty go; rmdir refuses the others.
  for (auto folder = createdFolders_.rbegin(); folder != createdFolders_.rend(); ++folder) ::rmdir(folder->c_str());
}

void DestinationFile::Fail(int error) const {
  throw Exception(kCannotWriteDestination + destination_ + " (" + std::strerror(error) + ")");
}

// The folder must exist or be creatable: its nearest existing ancestor is a folder we may write in.
void DestinationFile::CheckFolder(const std::string& folder) const {
  for (std::size_t start = 0; start < folder.size();) {
    const std::size_t slash = folder.find('/', start);
    const std::size_t end = slash == std::string::npos ? folder.size() : slash;
    if (end - start > kDefaultNameMax) Fail(ENAMETOOLONG);
    start = end + 1;
  }
  std::string existing;
  MissingFolders(folder, existing);
  struct stat st {};
  if (::stat(existing.c_str(), &st) != 0) Fail(errno);
  if (!S_ISDIR(st.st_mode)) Fail(ENOTDIR);
  if (::access(existing.c_str(), W_OK | X_OK) != 0) Fail(errno);
}

const std::string& DestinationFile::Prepare() {
  if (!workPath_.empty()) return workPath_;
  std::string existing;
  for (const std::string& folder : MissingFolders(Folder(target_), existing)) {
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
      throw Exception(kCannotCreateFolder + folder + " (" + std::strerror(errno) + ")");
    createdFolders_.push_back(folder);
  }
  if (writesThrough_) {
    workPath_ = MakeTempWavName();
    return workPath_;
  }
  const int fd = CreateFileBeside(target_, workPath_);
  if (fd < 0) Fail(errno);
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, st.st_mode & 07777);
  ::close(fd);
  return workPath_;
}

void DestinationFile::Commit(const CopyProgress& progress) {
  if (workPath_.empty()) Prepare();
  if (writesThrough_) {
    CopyFile(workPath_, target_, progress);
  } else if (::rename(workPath_.c_str(), target_.c_str()) != 0) {
    Fail(errno);
  }
  committed_ = true;
  if (writesThrough_) ::unlink(workPath_.c_str());
}

}  // namespace merolune
