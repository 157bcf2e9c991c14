#include "platform/child_process.h"

#include <memory>
#include <thread>

#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

// A kernel handle owned for the scope it lives in.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : m_handle(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE Get() const noexcept { return m_handle; }
  HANDLE* Out() noexcept { return &m_handle; }
  explicit operator bool() const noexcept {
    return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE;
  }
  void Reset() {
    if (*this) ::CloseHandle(m_handle);
    m_handle = nullptr;
  }

 private:
  HANDLE m_handle = nullptr;
};

// One argument quoted as the runtime library's command-line parser reads it back.
void AppendQuoted(std::string& line, const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    line += argument;
    return;
  }
  line.push_back('"');
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"')
      line.append(backslashes * 2 + 1, '\\');
    else
      line.append(backslashes, '\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, '\\');
  line.push_back('"');
}

long Fail(long error) {
  SetLastError(error);
  return error;
}

}  // namespace

long RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
              std::size_t maxOutput, ChildResult& out) {
  out = ChildResult{};
  if (argv.empty() || argv[0].empty()) return Fail(kErrorInvalidParameter);
  std::string line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line.push_back(' ');
    AppendQuoted(line, argv[i]);
  }

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  OwnedHandle readEnd;
  OwnedHandle writeEnd;
  if (!::CreatePipe(readEnd.Out(), writeEnd.Out(), &inheritable, 0))
    return Fail(static_cast<long>(::GetLastError()));
  ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
  OwnedHandle nul(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!nul) return Fail(static_cast<long>(::GetLastError()));

  // Only the two handles meant for the child are inherited, whatever else is inheritable.
  SIZE_T attributeSize = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
  std::vector<unsigned char> attributeBuffer(attributeSize);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize))
    return Fail(static_cast<long>(::GetLastError()));
  struct AttributeListGuard {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~AttributeListGuard() { ::DeleteProcThreadAttributeList(list); }
  } attributeGuard{attributes};
  HANDLE inherited[2] = {nul.Get(), writeEnd.Get()};
  if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   sizeof inherited, nullptr, nullptr))
    return Fail(static_cast<long>(::GetLastError()));

  // Everything the child starts stays in its job, and the job's end takes all of it along.
  OwnedHandle job(::CreateJobObjectA(nullptr, nullptr));
  if (!job) return Fail(static_cast<long>(::GetLastError()));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul.Get();
  startup.StartupInfo.hStdOutput = writeEnd.Get();
  startup.StartupInfo.hStdError = writeEnd.Get();
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION process{};
  std::vector<char> commandLine(line.begin(), line.end());
  commandLine.push_back('\0');
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        nullptr, &startup.StartupInfo, &process)) {
    const long error = static_cast<long>(::GetLastError());
    return Fail(error == ERROR_PATH_NOT_FOUND ? kErrorFileNotFound : error);
  }
  OwnedHandle child(process.hProcess);
  OwnedHandle thread(process.hThread);
  ::AssignProcessToJobObject(job.Get(), child.Get());
  ::ResumeThread(thread.Get());
  writeEnd.Reset();  // the child's copy is the only writer now
  nul.Reset();

  // The output is drained on a thread of its own, so that a child that writes much never
  // blocks on a full pipe while this thread waits for it to end.
  std::string output;
  std::thread reader([&output, &readEnd, maxOutput] {
    char buffer[4096];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(readEnd.Get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
      const std::size_t room = maxOutput > output.size() ? maxOutput - output.size() : 0;
      output.append(buffer, got < room ? got : room);
    }
  });
  const auto waitMs = timeout.count() < 0 ? 0 : timeout.count();
  const DWORD waited = ::WaitForSingleObject(
      child.Get(), waitMs >= 0xfffffffe ? 0xfffffffe : static_cast<DWORD>(waitMs));
  if (waited == WAIT_TIMEOUT) {
    out.timedOut = true;
    ::TerminateJobObject(job.Get(), 1);
    ::WaitForSingleObject(child.Get(), INFINITE);
  } else {
    DWORD code = 0;
    ::GetExitCodeProcess(child.Get(), &code);
    out.exited = true;
    out.exitCode = static_cast<int>(code);
    // Whatever the child left running goes with it, so that the pipe closes.
    ::TerminateJobObject(job.Get(), 1);
  }
  reader.join();
  out.output = std::move(output);
  return kErrorSuccess;
}

}  // namespace faxmail::platform
