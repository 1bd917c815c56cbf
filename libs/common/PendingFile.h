#pragma once
// A new file beside a destination that gets the destination's name only when complete.

#include <cstdio>
#include <string>

namespace merolune {

// The codec libraries must not leave a partial destination behind: their output goes to a new,
// hidden file beside the destination (CreateFileBeside), and only Commit() gives it the destination's
// name. Destroying the object without a successful Commit() deletes the file, so an error, a
// cancelled conversion or an exception leaves nothing. The writer writes through Stream(), or, when
// another library writes the file by name, closes the stream and writes to Path(). Not copyable.
class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile() { Discard(); }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Creates the file beside `destination` (any earlier one is discarded) and opens it for writing.
  // A destination that is a symbolic link stands for the file it names, which Commit replaces (the
  // link stays). False, with errno set, when no file could be made there (missing directory, no
  // permission...), and with EINVAL when the destination is something other than a regular file (a
  // directory, a device, a pipe), which a rename would replace rather than write.
  bool Create(const std::string& destination);
  // The open stream; null before Create, after Close and after Commit or Discard. Borrowed.
  std::FILE* Stream() const { return stream_; }
  // The file's temporary name; empty when there is no file.
  const std::string& Path() const { return temporary_; }
  // Closes the stream, flushing it: a full disk shows here. False, errno set, when that fails; the
  // file stays until Commit or Discard.
  bool Close();
  // Closes the stream if open and renames the file to the destination, replacing an existing file.
  // False, with errno set and the file removed, when either fails or there is no file.
  bool Commit();
  // Closes and removes the file; the destination is not touched. errno is kept.
  void Discard() noexcept;

 private:
  std::string destination_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
};

}  // namespace merolune
