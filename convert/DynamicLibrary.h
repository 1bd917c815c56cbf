#pragma once
// Codec libraries opened at run time by their sonames, with their entry points looked up by name.
//
// A binding lists its library's entry points once, as an X-macro list of the exported names, and
// turns the list into a struct of typed pointers with MEROLUNE_ENTRY_POINTS:
//
//   #define MEROLUNE_FLAC_ENTRY_POINTS(X) X(FLAC__stream_decoder_new) X(FLAC__stream_decoder_delete) ...
//   MEROLUNE_ENTRY_POINTS(FLACEntryPoints, "libFLAC.so.12", MEROLUNE_FLAC_ENTRY_POINTS);
//   class FLACLib : public LibraryBinding<FLACEntryPoints> {};
//
// Each pointer's type is the declaration in the library's own header (decltype), so the binding's
// header includes that header; the libraries themselves are never linked. Whoever calls a library
// owns its binding object: opening a library that is already open only counts a reference.

#include <dlfcn.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace merolune {

// One library opened through the dynamic linker's search (the program's run path, LD_LIBRARY_PATH,
// the system's cache). A library that cannot be opened leaves Loaded() false; nothing throws.
class DynamicLibrary {
 public:
  // Whether closing the object may unload the library. Libraries that keep threads or process-wide
  // state of their own between calls (libvbmp3's decoder thread, FFmpeg's one-time set-up behind
  // libwmafile) are opened with Never: once loaded they stay until the program ends.
  enum class Unloading { WithTheObject, Never };

  explicit DynamicLibrary(std::string soname, Unloading unloading = Unloading::WithTheObject);
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
  // Throws EAuException with MissingMessage() unless Usable(); for the components' constructors.
  void Require() const;

  // Stores the entry point `name` into `pointer`, null when the library is not loaded or does not
  // export the name; a name that is not found makes the library unusable.
  template <class F>
  void Bind(F& pointer, const char* name) {
    pointer = handle_ ? reinterpret_cast<F>(dlsym(handle_, name)) : nullptr;
    if (pointer == nullptr) complete_ = false;
  }

 private:
  std::string soname_;
  std::string loadError_;
  void* handle_ = nullptr;
  bool complete_ = true;
};

// The libraries of Entries... (structs made by MEROLUNE_ENTRY_POINTS), opened in the order given
// (a library before those that need it), with all their entry points in one struct. Read-only after
// construction, so any thread may call through it; the libraries' own rules say which calls may run
// at the same time.
template <class... Entries>
class LibraryBinding {
 public:
  // One pointer per entry point of every library; a pointer stays null when its library is missing
  // or does not export the name.
  struct EntryPoints : Entries... {};

  // Opens each library by the soname its entry list declares.
  LibraryBinding() : LibraryBinding(DynamicLibrary::Unloading::WithTheObject, Entries::kSoName...) {}
  // Opens the one library by another name (a test's missing library), or keeps it loaded for good.
  explicit LibraryBinding(std::string soname,
                          DynamicLibrary::Unloading unloading = DynamicLibrary::Unloading::WithTheObject)
      : LibraryBinding(unloading, std::move(soname)) {
    static_assert(sizeof...(Entries) == 1, "one soname for one library");
  }
  LibraryBinding(const LibraryBinding&) = delete;
  LibraryBinding& operator=(const LibraryBinding&) = delete;

  // Every library opened and exports every entry point of its list.
  bool Usable() const {
    for (const DynamicLibrary& library : libraries_) {
      if (!library.Usable()) return false;
    }
    return true;
  }
  // The message of the first library that is not usable (of the first library when all are).
  std::string MissingMessage() const {
    for (const DynamicLibrary& library : libraries_) {
      if (!library.Usable()) return library.MissingMessage();
    }
    return libraries_.front().MissingMessage();
  }
  // Throws EAuException with MissingMessage() unless Usable().
  void Require() const {
    for (const DynamicLibrary& library : libraries_) library.Require();
  }
  // The entry points; all of them callable only when Usable().
  const EntryPoints& Api() const { return api_; }

 private:
  template <class... Names>
  LibraryBinding(DynamicLibrary::Unloading unloading, Names&&... sonames)
      : libraries_{DynamicLibrary(std::string(std::forward<Names>(sonames)), unloading)...} {
    std::size_t index = 0;
    (static_cast<Entries&>(api_).BindAll(libraries_[index++]), ...);
  }

  std::array<DynamicLibrary, sizeof...(Entries)> libraries_;
  EntryPoints api_;
};

}  // namespace merolune

// The entry-point struct `Struct` of the library `soname`: a member per name in `LIST` (an X-macro
// list, LIST(X) expanding to X(name) for each exported function), typed after the function's
// declaration in the library's header, and BindAll, which looks each one up by its name.
#define MEROLUNE_ENTRY_POINT_MEMBER(name) decltype(&::name) name = nullptr;
#define MEROLUNE_ENTRY_POINT_BIND(name) library.Bind(name, #name);
#define MEROLUNE_ENTRY_POINTS(Struct, soname, LIST)                                       \
  struct Struct {                                                                         \
    [[maybe_unused]] static constexpr const char* kSoName = soname;                       \
    LIST(MEROLUNE_ENTRY_POINT_MEMBER)                                                     \
    void BindAll(::merolune::DynamicLibrary& library) { LIST(MEROLUNE_ENTRY_POINT_BIND) } \
  }
