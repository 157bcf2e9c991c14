// Shared libraries loaded at run time: load by path, find a symbol by name, unload.
//
// A Module owns one reference to a loaded library and gives it back when it goes (move-only).
// Loading resolves every symbol at once, so a library that cannot work fails to load instead
// of failing later. Any thread.
#pragma once

#include <string>

namespace faxmail::platform {

class Module {
 public:
  Module() = default;
  ~Module();
  Module(Module&& other) noexcept;
  Module& operator=(Module&& other) noexcept;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // 0, or kErrorFileNotFound (no such file), kErrorBadExeFormat (not a library, or one whose
  // symbols do not resolve); *detail (when given) receives the loader's own words.
  static long Load(const std::string& path, Module& out, std::string* detail = nullptr);
  // The address of a symbol, or null when the library does not export it.
  void* Symbol(const char* name) const;
  // Gives the reference back; 0, or kErrorInvalidHandle when none is held.
  long Unload();
  bool IsLoaded() const noexcept { return m_handle != nullptr; }

  // True when the library at path is loaded in this process right now (by anyone).
  static bool IsLoadedInProcess(const std::string& path);

 private:
  void* m_handle = nullptr;
};

// The file of the loaded module that holds the address (a function or object of it), or
// empty when the loader cannot tell.
std::string ModuleFileOf(const void* address);

}  // namespace faxmail::platform
