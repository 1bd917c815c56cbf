#pragma once
// Where a job's result goes: checked before the work, made beside the old file, put in place whole.

#include <string>
#include <vector>

#include "Stream.h"

namespace merolune {

// Messages about the destination; the ones ending in ": " are followed by the path and the reason.
inline constexpr const char* kNoDestination = "保存先が指定されていません";
inline constexpr const char* kCannotWriteDestination = "保存先に書き込めません: ";
inline constexpr const char* kCannotCreateFolder = "保存先のフォルダを作成できません: ";

// The one way every format reaches the destination.
//
// A regular file (or a name not taken yet) is never written in place: the result is made in a new
// hidden file beside it (WorkPath), and Commit renames that over the destination, so a failed or
// cancelled job leaves an existing file byte for byte as it was, and a reader never sees half a
// result. The new file takes the old one's permission bits. A symbolic link stays a link: the file
// it leads to (also one yet to be made, when the link dangles) is the one replaced. A device or a
// pipe cannot be replaced: the result is made in a temporary file and Commit copies it in.
//
// The constructor finds what would make the work fail, without changing anything on disk: an empty
// name, a folder, a name too long, a folder that is missing and cannot be made, no right to write.
// Prepare creates the missing folders and the work file. Unless Commit succeeded, the destructor
// removes the work file and the folders Prepare created (those still empty).
//
// Throws Exception with kNoDestination, or kCannotWriteDestination / kCannotCreateFolder followed by
// the path and the system's reason. One thread at a time; not copyable.
class DestinationFile {
 public:
  explicit DestinationFile(std::string destination);
  ~DestinationFile();
  DestinationFile(const DestinationFile&) = delete;
  DestinationFile& operator=(const DestinationFile&) = delete;

  // Creates the missing folders and the empty work file; returns the work file's path.
  const std::string& Prepare();
  // The file the result is written to until Commit; empty before Prepare.
  const std::string& WorkPath() const { return workPath_; }
  // The file Commit replaces: the destination with its links followed.
  const std::string& Target() const { return target_; }
  // Whether the destination is a device or a pipe, which receives a copy.
  bool WritesThrough() const { return writesThrough_; }
  // Whether `other`, its links followed, leads to the same file as Target (also one yet to be made);
  // "." and ".." count for nothing.
  bool SameTarget(const std::string& other) const;

  // Puts the finished work file in place. `progress` runs between the chunks of a copy into a
  // device. Throws Exception naming the destination when that fails; the old file then stays.
  void Commit(const CopyProgress& progress = {});

 private:
  [[noreturn]] void Fail(int error) const;
  void CheckFolder(const std::string& folder) const;

  std::string destination_;
  std::string target_;
  bool writesThrough_ = false;
  bool committed_ = false;
  std::string workPath_;
  std::vector<std::string> createdFolders_;  // outermost first
};

}  // namespace merolune
