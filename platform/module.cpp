#include "platform/module.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <utility>

#include "platform/win_error.h"

namespace faxmail::platform {
namespace {

// The loader's words for the last failure (it keeps them per thread until read).
std::string LoaderError() {
  const char* text = ::dlerror();
  return text ? std::string(text) : std::string();
}

}  // namespace

Module::~Module() {
  if (m_handle) ::dlclose(m_handle);
}

Module::Module(Module&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

Module& Module::operator=(Module&& other) noexcept {
  if (this != &other) {
    if (m_handle) ::dlclose(m_handle);
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

long Module::Load(const std::string& path, Module& out, std::string* detail) {
  out = Module();
  if (detail) detail->clear();
  ::dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const std::string words = LoaderError();
    if (detail) *detail = words;
    // The loader does not say why in a number: a file that is not there is told apart from one
    // that is there but cannot be a library (or needs what is missing).
    struct stat info {};
    const long error = ::stat(path.c_str(), &info) == 0 ? kErrorBadExeFormat : kErrorFileNotFound;
    SetLastError(error);
    return error;
  }
  out.m_handle = handle;
  SetLastError(kErrorSuccess);
  return kErrorSuccess;
}

void* Module::Symbol(const char* name) const {
  if (!m_handle || !name) return nullptr;
  ::dlerror();
  return ::dlsym(m_handle, name);
}

long Module::Unload() {
  if (!m_handle) {
    SetLastError(kErrorInvalidHandle);
    return kErrorInvalidHandle;
  }
  void* handle = std::exchange(m_handle, nullptr);
  const long error = ::dlclose(handle) == 0 ? kErrorSuccess : kErrorInvalidHandle;
  SetLastError(error);
  return error;
}

bool Module::IsLoadedInProcess(const std::string& path) {
  // RTLD_NOLOAD hands out a further reference only to a library already loaded; it is given
  // straight back.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle) {
    ::dlerror();
    return false;
  }
  ::dlclose(handle);
  return true;
}

std::string ModuleFileOf(const void* address) {
  Dl_info info{};
  if (!address || ::dladdr(address, &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

}  // namespace faxmail::platform
