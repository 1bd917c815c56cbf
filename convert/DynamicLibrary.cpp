// A codec library opened at run time by its soname, with its entry points looked up by name.

#include "DynamicLibrary.h"

#include <utility>

namespace merolune {

DynamicLibrary::DynamicLibrary(std::string soname) : soname_(std::move(soname)) {
  // RTLD_NOW: a library whose own dependencies are missing fails here, not at its first call.
  handle_ = dlopen(soname_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    loadError_ = why ? why : "unknown reason";
  }
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) dlclose(handle_);
}

}  // namespace merolune
