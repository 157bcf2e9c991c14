// CService: the service wrapper. It runs the service control dispatcher, reports each state of
// the service with its check point and wait hint, starts the gateway's work (the start routine,
// StartGateway) on a start thread of its own, and stops by signalling an event that the service
// main waits on. It records what StartGateway builds, so that the stop path can reach the
// receiver and the sender.
//
// Threads: Initservice runs on the process entry's thread, which becomes the dispatcher's; the
// dispatcher calls ServiceCtrlHandler there and runs Smtpservice (the service main) on a thread
// of its own; the start routine runs on the start thread. The service main, the control handler
// and the stop path reach the object only through the process-wide pointer CServ, which
// Initservice sets. The stop may come while the start thread is still building the gateway:
// OnStopService reads m_SMTPIN and m_SMTPOUT without waiting for it and skips what does not
// exist yet; a receiver or sender built afterwards has its threads let go of by the start
// thread itself, so that no thread handle is ever touched by two threads at once.
//
// The service accepts stop and shutdown only. Nothing here waits for a session or a delivery:
// they end with the process, after the service main has returned. Every step logs under
// "C_servic" (entries before the start routine has read the log settings are discarded).
//
// When the start routine returns kGatewayNotStarted the start thread takes the stop path
// itself, and the stopped report carries the service-specific exit code kGatewayNotStarted
// (Win32 exit code 1066): the service does not read as running without its receiver.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/service_control.h"
#include "platform/thread.h"

namespace faxmail {

class SMTPIn;
class SMTPOut;

class CService {
 public:
  using StartRoutine = std::function<int(CService*)>;

  // Check points and wait hints of the reports during the start and the stop.
  static constexpr std::uint32_t kRegisteredCheckPoint = 1;
  static constexpr std::uint32_t kRegisteredWaitHint = 8000;
  static constexpr std::uint32_t kStartingCheckPoint = 3;
  static constexpr std::uint32_t kStoppingCheckPoint = 1;
  static constexpr std::uint32_t kDefaultStartWaitHint = 10000;
  static constexpr std::uint32_t kDefaultStopWaitHint = 15000;

  // What the wrapper asks of the service control manager; the platform's operations unless a
  // test puts others in place before Initservice.
  struct ManagerCalls {
    std::function<long(const std::vector<platform::ServiceTableEntry>&)> dispatcher =
        platform::StartServiceCtrlDispatcher;
    std::function<long(std::string_view, platform::HandlerFunction, platform::ServiceStatusHandle&)>
        registerHandler = platform::RegisterServiceCtrlHandler;
    std::function<long(const platform::ServiceStatusHandle&, const platform::ServiceStatus&)>
        setStatus = platform::SetServiceStatus;
  };

  CService() = default;
  explicit CService(ManagerCalls calls) : m_calls(std::move(calls)) {}
  ~CService();
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  // Makes this the service object, keeps the routine and a copy of the name, and runs the
  // dispatcher. Non-zero when it ran and returned after the service stopped; 0 when it could
  // not connect to the manager (DispatcherError() then tells why).
  int Initservice(std::string_view name, StartRoutine routine);

  // The service main, on the thread the dispatcher gives it; the arguments are ignored.
  static void Smtpservice(const std::vector<std::string>& args);
  // The control handler, on the dispatcher's thread.
  static void ServiceCtrlHandler(std::uint32_t control);

  // One status report; 1 when the manager accepted it, 0 otherwise (the stop path then runs).
  int SCMStatus(std::uint32_t state, std::uint32_t win32ExitCode, std::uint32_t specificExitCode,
                std::uint32_t checkPoint, std::uint32_t waitHint);
  // 1 when the start thread runs, 0 when it could not be started.
  int OnStartService();
  void OnStopService();
  // Ends the service main: closes the stop event, reports stopped when there is a status
  // handle, lets go of the start thread. The error code only goes to the log.
  void Exit(long error);

  // The error of the dispatcher call that could not connect, 0 when it connected.
  long DispatcherError() const noexcept { return m_dispatcherError; }
  // The start routine's result when the gateway did not start (kGatewayNotStarted), 0 while it
  // runs or started.
  std::uint32_t StartFailure() const noexcept { return m_startFailure.load(); }

  // Members in the order the wrapper has always had them.
  std::string m_serviceName;
  std::unique_ptr<platform::Event> m_stopEvent;
  platform::ServiceStatusHandle m_ServiceStatusHandle;
  platform::Thread m_startThread;
  StartRoutine m_startRoutine;
  std::uint32_t m_startWaitHint = kDefaultStartWaitHint;
  std::uint32_t m_stopWaitHint = kDefaultStopWaitHint;
  // Set by the start routine on the start thread, read by the stop path on the handler's.
  std::atomic<SMTPIn*> m_SMTPIN{nullptr};
  std::atomic<SMTPOut*> m_SMTPOUT{nullptr};

 private:
  void RunStartRoutine();
  // Lets go of the receiver's accept thread and the sender's main thread.
  void ReleaseGatewayThreads();

  ManagerCalls m_calls;
  long m_dispatcherError = 0;
  // Whether the handler was registered (a status handle exists).
  bool m_hasStatusHandle = false;
  std::atomic<std::uint32_t> m_startFailure{0};
  // Set by the start thread as its last act.
  std::shared_ptr<platform::Event> m_startEnded;

  // Guards the stop event's life against a stop that signals it, and the hand-over of the
  // thread release between the stop path and a start routine still running.
  std::mutex m_lock;
  bool m_startRunning = false;
  bool m_stopRequested = false;
};

// The process's service object, set by Initservice.
extern CService* CServ;

}  // namespace faxmail
