#pragma once
// Byte streams: a file opened with POSIX calls and an in-memory buffer, behind one interface.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace merolune {

enum class SeekOrigin { Begin, Current, End };

// Runs between the chunks of a long copy with the bytes copied so far and the total (0 when the
// source's size is unknown); may throw to stop the copy.
using CopyProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// A seekable byte stream. Reads may be short at the end of the stream; writes are all or
// nothing: a write that cannot store every byte (disk full, I/O error) throws Exception.
// Positions may be set past the end; reading there returns 0 bytes. Not thread-safe.
class Stream {
 public:
  virtual ~Stream() = default;
  // Reads up to `count` bytes and returns how many were read (0 at or past the end).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes all `count` bytes at the current position or throws.
  virtual void Write(const void* buffer, std::size_t count) = 0;
  // Moves the position and returns the new one; a position before 0 throws.
  virtual std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
  virtual std::uint64_t Position() const = 0;
  virtual std::uint64_t Size() const = 0;

  // Reads exactly `count` bytes; false (with the position moved by what was read) when the
  // stream ends first.
  bool ReadExact(void* buffer, std::size_t count) { return Read(buffer, count) == count; }
  // Moves to `position` bytes from the start.
  void SeekTo(std::uint64_t position) { Seek(static_cast<std::int64_t>(position), SeekOrigin::Begin); }
};

// A file on disk, the one stream over a file descriptor. Read-only streams may be opened while
// another process or thread writes the file; Size() asks the file system each time, so it sees the
// file grow. Devices and pipes work too: reads and writes go in order where a descriptor has no
// positions.
//
// Throws Exception "ファイルを開けません: <path> (<reason>)" (or "ファイルを作成できません: " for Create
// and Write) from the constructor, "ファイルを読み込めません: " from Read, "ファイルに書き込めません: "
// from Write and Close, "ファイル内を移動できません: " from Size, and "negative stream position" from
// a Seek before the start. A subclass that opens its files its own way words these through Fail.
class FileStream : public Stream {
 public:
  enum class Mode {
    Read,       // existing file, read only
    Create,     // create or truncate, read and write
    Write,      // create or truncate, write only: a pipe waits for its reader
    ReadWrite,  // existing file, read and write
  };

  FileStream(const std::string& path, Mode mode);
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t count) final;
  void Write(const void* buffer, std::size_t count) final;
  std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) final;
  std::uint64_t Position() const final { return position_; }
  std::uint64_t Size() const final;

  // Flushes to the kernel and closes; reports a failing close (delayed write errors on some
  // file systems). Further reads and writes throw. The destructor closes silently.
  void Close();
  const std::string& Path() const { return path_; }

 protected:
  // What failed, for Fail to word.
  enum class Failure {
    Read,   // reading
    Write,  // writing or closing
    Size,   // asking the file system for the size
    Seek,   // a position before the start (error EINVAL)
  };

  // Takes over `fd`, an open descriptor of `path`.
  FileStream(std::string path, int fd) noexcept : path_(std::move(path)), fd_(fd) {}
  // Throws the message for `what` failing with the system error `error` on Path().
  [[noreturn]] virtual void Fail(Failure what, int error) const;

 private:
  friend void CopyFile(const std::string& from, const std::string& to, const CopyProgress& progress);
  std::string path_;
  int fd_ = -1;
  std::uint64_t position_ = 0;
};

// A growable buffer in memory, for tests and for parsing bytes that came from elsewhere.
class MemoryStream final : public Stream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::uint64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  std::uint64_t Position() const override { return position_; }
  std::uint64_t Size() const override { return bytes_.size(); }

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t position_ = 0;
};

// The loops under every file stream: all `count` bytes at `offset` of an open descriptor, retried
// after interruptions. ReadAt returns the count read (short only at the end of the file);
// WriteAt returns the count written (short only when the disk is full). Both return -errno on
// failure and never throw.
std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) noexcept;
std::int64_t WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset) noexcept;

// Copies the file `from` over `to` (created or truncated), in chunks; throws with a message
// naming the file on any failure. `progress`, when given, runs after every chunk of a few MiB
// (the window handles its events there while a long copy goes on); what it throws ends the copy.
void CopyFile(const std::string& from, const std::string& to, const CopyProgress& progress = {});

// True when a file (or anything else) exists at `path`.
bool FileExists(const std::string& path);
// True when `path` is, or leads through links to, a regular file (not a folder, device or pipe).
bool IsRegularFile(const std::string& path);
// True when `path` is, or leads through links to, a folder.
bool IsDirectory(const std::string& path);

// Deletes `path` if it exists; returns false only when it exists and could not be deleted.
bool DeleteFileIfExists(const std::string& path);

}  // namespace merolune
