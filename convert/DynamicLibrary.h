#pragma once
// A codec library opened at run time by its soname, with its entry points looked up by name.

#include <dlfcn.h>

#include <string>

namespace merolune {

// Opens `soname` through the dynamic linker's search (LD_LIBRARY_PATH, the run path, the system's
// cache). A library that cannot be opened leaves Loaded() false; nothing throws. The library stays
// open until the object is destroyed; the bindings keep theirs for the whole run of the program.
class DynamicLibrary {
 public:
  explicit DynamicLibrary(std::string soname);
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  // Loaded, and every entry point bound so far was found. A library without one of them (another
  // interface version behind the same name) is as unusable as a missing one: nothing may call
  // through a null pointer.
  bool Usable() const { return Loaded() && complete_; }
  const std::string& SoName() const { return soname_; }
  // What the dynamic linker said when the library could not be opened.
  const std::string& LoadError() const { return loadError_; }
  // "<soname> library could not be loaded.", the message of a component that needs it.
  std::string MissingMessage() const { return soname_ + " library could not be loaded."; }

  // The entry point `name` as a function pointer of type F; null when the library is not loaded or
  // does not export the name.
  template <class F>
  F Symbol(const char* name) const {
    return handle_ ? reinterpret_cast<F>(dlsym(handle_, name)) : nullptr;
  }
  // Stores Symbol<F>(name) into `pointer`; the bindings list their entry points with it. A name
  // that is not found makes the library unusable.
  template <class F>
  void Bind(F& pointer, const char* name) {
    pointer = Symbol<F>(name);
    if (pointer == nullptr) complete_ = false;
  }

 private:
  std::string soname_;
  std::string loadError_;
  void* handle_ = nullptr;
  bool complete_ = true;
};

}  // namespace merolune
