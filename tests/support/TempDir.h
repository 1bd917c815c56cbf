#pragma once
// A fresh temporary directory per test, removed with everything in it afterwards.

#include <string>

namespace merolune::test {

// Creates a unique directory under $TMPDIR (else /tmp); the destructor removes it recursively.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path of `name` inside the directory.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace merolune::test
