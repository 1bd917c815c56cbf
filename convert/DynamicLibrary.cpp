// Codec libraries opened at run time by their sonames, with their entry points looked up by name.

#include "DynamicLibrary.h"

#include <utility>

#include "AuException.h"

namespace merolune {

DynamicLibrary::DynamicLibrary(std::string soname, Unloading unloading) : soname_(std::move(soname)) {
  // RTLD_NOW: a library whose own dependencies are missing fails here, not at its first call.
  const int flags = RTLD_NOW | RTLD_LOCAL | (unloading == Unloading::Never ? RTLD_NODELETE : 0);
  handle_ = dlopen(soname_.c_str(), flags);
  if (!handle_) {
    const char* why = dlerror();
    loadError_ = why ? why : "unknown reason";
  }
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) dlclose(handle_);
}

void DynamicLibrary::Require() const {
  if (!Usable()) throw EAuException(MissingMessage());
}

}  // namespace merolune
