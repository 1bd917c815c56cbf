// Byte streams: a file opened with POSIX calls and an in-memory buffer, behind one interface.

#include "Stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Exception.h"

namespace merolune {

namespace {

constexpr const char* kCannotOpen = "ファイルを開けません: ";
constexpr const char* kCannotCreate = "ファイルを作成できません: ";
constexpr const char* kCannotRead = "ファイルを読み込めません: ";
constexpr const char* kCannotWrite = "ファイルに書き込めません: ";
constexpr const char* kCannotSeek = "ファイル内を移動できません: ";
constexpr const char* kNegativePosition = "negative stream position";

[[noreturn]] void ThrowWithReason(const char* what, const std::string& path, int error) {
  throw Exception(std::string(what) + path + " (" + std::strerror(error) + ")");
}

// The position a seek asks for; negative when it lies before the start.
std::int64_t Target(std::int64_t offset, SeekOrigin origin, std::uint64_t current, std::uint64_t size) {
  std::int64_t base = 0;
  switch (origin) {
    case SeekOrigin::Begin: base = 0; break;
    case SeekOrigin::Current: base = static_cast<std::int64_t>(current); break;
    case SeekOrigin::End: base = static_cast<std::int64_t>(size); break;
  }
  return base + offset;
}

// The loop under ReadAt and WriteAt: all `count` bytes through `positioned` (pread or pwrite), or
// through `sequential` (read or write) where the descriptor has no positions, as a pipe has not.
template <class Byte, class Positioned, class Sequential>
std::int64_t Transfer(Byte* data, std::size_t count, std::uint64_t offset, Positioned positioned,
                      Sequential sequential) noexcept {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = positioned(data + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == ESPIPE) n = sequential(data + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    // The end of the file when reading; when writing, a write that stores nothing without an
    // error would loop for ever.
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

}  // namespace

FileStream::FileStream(const std::string& path, Mode mode) : path_(path) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case Mode::Write: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case Mode::ReadWrite: flags |= O_RDWR; break;
  }
  do {
    fd_ = ::open(path.c_str(), flags, 0666);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) ThrowWithReason(mode == Mode::Create || mode == Mode::Write ? kCannotCreate : kCannotOpen, path, errno);
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    ThrowWithReason(kCannotOpen, path, EISDIR);
  }
}

FileStream::~FileStream() {
  if (fd_ >= 0) ::close(fd_);
}

void FileStream::Fail(Failure what, int error) const {
  switch (what) {
    case Failure::Read: ThrowWithReason(kCannotRead, path_, error);
    case Failure::Write: ThrowWithReason(kCannotWrite, path_, error);
    case Failure::Size: ThrowWithReason(kCannotSeek, path_, error);
    case Failure::Seek: break;
  }
  throw Exception(kNegativePosition);
}

void FileStream::Close() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) Fail(Failure::Write, errno);
}

std::size_t FileStream::Read(void* buffer, std::size_t count) {
  const std::int64_t n = ReadAt(fd_, buffer, count, position_);
  if (n < 0) Fail(Failure::Read, static_cast<int>(-n));
  position_ += static_cast<std::uint64_t>(n);
  return static_cast<std::size_t>(n);
}

void FileStream::Write(const void* buffer, std::size_t count) {
  const std::int64_t n = WriteAt(fd_, buffer, count, position_);
  if (n < 0) Fail(Failure::Write, static_cast<int>(-n));
  // A write that stores less without an error means the disk is full.
  if (static_cast<std::size_t>(n) < count) Fail(Failure::Write, ENOSPC);
  position_ += count;
}

std::uint64_t FileStream::Seek(std::int64_t offset, SeekOrigin origin) {
  const std::uint64_t size = origin == SeekOrigin::End ? Size() : 0;
  const std::int64_t target = Target(offset, origin, position_, size);
  if (target < 0) Fail(Failure::Seek, EINVAL);
  position_ = static_cast<std::uint64_t>(target);
  return position_;
}

std::uint64_t FileStream::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) Fail(Failure::Size, errno);
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t MemoryStream::Read(void* buffer, std::size_t count) {
  if (position_ >= bytes_.size()) return 0;
  const std::size_t n = std::min<std::uint64_t>(count, bytes_.size() - position_);
  std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

void MemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  if (position_ + count > bytes_.size()) bytes_.resize(position_ + count);
  std::memcpy(bytes_.data() + position_, buffer, count);
  position_ += count;
}

std::uint64_t MemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
  const std::int64_t target = Target(offset, origin, position_, bytes_.size());
  if (target < 0) throw Exception(kNegativePosition);
  position_ = static_cast<std::uint64_t>(target);
  return position_;
}

std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) noexcept {
  return Transfer(
      static_cast<char*>(buffer), count, offset,
      [fd](char* at, std::size_t n, off_t from) { return ::pread(fd, at, n, from); },
      [fd](char* at, std::size_t n) { return ::read(fd, at, n); });
}

std::int64_t WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset) noexcept {
  return Transfer(
      static_cast<const char*>(buffer), count, offset,
      [fd](const char* at, std::size_t n, off_t from) { return ::pwrite(fd, at, n, from); },
      [fd](const char* at, std::size_t n) { return ::write(fd, at, n); });
}

void CopyFile(const std::string& from, const std::string& to, const CopyProgress& progress) {
  // Small enough that a chunk takes a few milliseconds, large enough to keep the calls few.
  constexpr std::size_t kChunk = 4 << 20;
  FileStream in(from, FileStream::Mode::Read);
  FileStream out(to, FileStream::Mode::Write);
  const std::uint64_t total = in.Size();
  std::uint64_t done = 0;
  // The kernel copies between the two files without a trip through our memory where the file
  // systems allow it; a device, a pipe or another file system falls back to reading and writing.
  for (;;) {
    const ssize_t n = ::copy_file_range(in.fd_, nullptr, out.fd_, nullptr, kChunk, 0);
    if (n > 0) {
      done += static_cast<std::uint64_t>(n);
      if (progress) progress(done, total);
      continue;
    }
    if (n == 0) {
      out.Close();
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) break;
    ThrowWithReason(errno == EIO ? kCannotRead : kCannotWrite, errno == EIO ? from : to, errno);
  }
  // Carry on from wherever the kernel copy stopped.
  const off_t stopped = ::lseek(in.fd_, 0, SEEK_CUR);
  done = stopped > 0 ? static_cast<std::uint64_t>(stopped) : 0;
  in.Seek(static_cast<std::int64_t>(done), SeekOrigin::Begin);
  out.Seek(static_cast<std::int64_t>(done), SeekOrigin::Begin);
  std::vector<char> chunk(1 << 16);
  std::size_t sinceCall = 0;
  for (;;) {
    const std::size_t n = in.Read(chunk.data(), chunk.size());
    if (n == 0) break;
    out.Write(chunk.data(), n);
    done += n;
    sinceCall += n;
    if (progress && sinceCall >= kChunk) {
      progress(done, total);
      sinceCall = 0;
    }
  }
  out.Close();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFileIfExists(const std::string& path) {
  if (path.empty()) return true;
  if (::unlink(path.c_str()) == 0) return true;
  return errno == ENOENT;
}

}  // namespace merolune
