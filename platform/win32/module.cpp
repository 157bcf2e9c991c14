#include "platform/module.h"

#include <cstring>
#include <utility>

#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

std::string SystemText(DWORD error) {
  char text[512] = {};
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, error, 0, text, sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out.empty() ? "error " + std::to_string(error) : out;
}

std::string FileOf(HMODULE module) {
  char path[MAX_PATH * 4] = {};
  const DWORD n = ::GetModuleFileNameA(module, path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  return std::string(path, n);
}

}  // namespace

Module::~Module() { Unload(); }

Module::Module(Module&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

Module& Module::operator=(Module&& other) noexcept {
  if (this != &other) {
    Unload();
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

long Module::Load(const std::string& path, Module& out, std::string* detail) {
  out = Module();
  // No error box from the loader for a library that is missing or broken.
  const UINT saved = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const HMODULE module = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const DWORD error = ::GetLastError();
  ::SetErrorMode(saved);
  if (!module) {
    if (detail) *detail = path + ": " + SystemText(error);
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    const long result =
        attributes == INVALID_FILE_ATTRIBUTES ? kErrorFileNotFound : kErrorBadExeFormat;
    SetLastError(result);
    return result;
  }
  out.m_handle = module;
  return kErrorSuccess;
}

void* Module::Symbol(const char* name) const {
  if (!m_handle) return nullptr;
  const FARPROC address = ::GetProcAddress(static_cast<HMODULE>(m_handle), name);
  void* symbol = nullptr;
  static_assert(sizeof symbol == sizeof address);
  std::memcpy(&symbol, &address, sizeof symbol);
  return symbol;
}

long Module::Unload() {
  if (!m_handle) {
    SetLastError(kErrorInvalidHandle);
    return kErrorInvalidHandle;
  }
  const HMODULE module = static_cast<HMODULE>(std::exchange(m_handle, nullptr));
  if (!::FreeLibrary(module)) {
    const long error = static_cast<long>(::GetLastError());
    SetLastError(error);
    return error;
  }
  return kErrorSuccess;
}

bool Module::IsLoadedInProcess(const std::string& path) {
  HMODULE module = nullptr;
  return ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(),
                              &module) != 0;
}

std::string ModuleFileOf(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module))
    return {};
  return FileOf(module);
}

}  // namespace faxmail::platform
