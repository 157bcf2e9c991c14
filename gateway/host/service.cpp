#include "gateway/host/service.h"

#include <new>
#include <utility>

#include "gateway/host/start_gateway.h"
#include "gateway/net/listener.h"
#include "gateway/service/log.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/smtp_out/smtp_out.h"
#include "platform/win_error.h"

namespace faxmail {

CService* CServ = nullptr;

namespace {

constexpr char kTag[] = "C_servic";
// The event reported when the handler cannot be registered, and when the service stops.
constexpr std::uint32_t kHandlerNotRegisteredEvent = 423;
constexpr std::uint32_t kStoppingEvent = 428;
// What every state but start pending accepts.
constexpr std::uint32_t kAcceptedControls =
    platform::kServiceAcceptStop | platform::kServiceAcceptShutdown;

}  // namespace

CService::~CService() {
  // The start thread uses this object until its very end. The process's own service object is
  // never destroyed (the process ends without running destructors); a test's object waits.
  if (m_startEnded) m_startEnded->Wait();
  if (CServ == this) CServ = nullptr;
}

int CService::Initservice(std::string_view name, StartRoutine routine) {
  CServ = this;
  m_startRoutine = std::move(routine);
  m_serviceName = std::string(name);
  LogMessage("Before dispatcher in Initservice.", kTag, __LINE__);
  const std::vector<platform::ServiceTableEntry> table = {{m_serviceName, &CService::Smtpservice}};
  const long error = m_calls.dispatcher(table);
  if (error != platform::kErrorSuccess) {
    m_dispatcherError = error;
    return 0;
  }
  return 1;
}

void CService::Smtpservice(const std::vector<std::string>& /*args*/) {
  CService* const service = CServ;
  if (service == nullptr) return;

  platform::ServiceStatusHandle handle;
  if (const long error = service->m_calls.registerHandler(service->m_serviceName,
                                                          &CService::ServiceCtrlHandler, handle);
      error != platform::kErrorSuccess) {
    ReportGatewayEvent(platform::EventType::Error, kHandlerNotRegisteredEvent, kServiceName);
    service->Exit(error);
    return;
  }
  {
    std::lock_guard lock(service->m_lock);
    service->m_ServiceStatusHandle = handle;
    service->m_hasStatusHandle = true;
  }

  if (!service->SCMStatus(platform::kServiceStartPending, 0, 0, kRegisteredCheckPoint,
                          kRegisteredWaitHint)) {
    service->Exit(platform::LastError());
    return;
  }
  LogMessage("Smtpservice: SCMStatus - SERVICE_START_PENDING1.", kTag, __LINE__);

  platform::Event* stopEvent = nullptr;
  try {
    auto event = std::make_unique<platform::Event>(true, false);
    stopEvent = event.get();
    std::lock_guard lock(service->m_lock);
    service->m_stopEvent = std::move(event);
  } catch (const std::bad_alloc&) {
    LogMessage("Unable to Create event for Error conditions.", kTag, __LINE__);
    service->Exit(platform::kErrorNotEnoughMemory);
    return;
  }

  if (!service->SCMStatus(platform::kServiceStartPending, 0, 0, kStartingCheckPoint,
                          service->m_startWaitHint) ||
      !service->OnStartService() || !service->SCMStatus(platform::kServiceRunning, 0, 0, 0, 0)) {
    service->Exit(platform::LastError());
    return;
  }

  // Only Exit, below on this thread, closes the event.
  stopEvent->Wait();
  LogMessage("Smtpservice: Leaving the Service main.", kTag, __LINE__);
  service->Exit(0);
}

void CService::ServiceCtrlHandler(std::uint32_t control) {
  CService* const service = CServ;
  if (service == nullptr) return;
  LogMessage("SmtpService: Entering ServiceCtrlHandler.", kTag, __LINE__);
  if (control == platform::kServiceControlStop || control == platform::kServiceControlShutdown) {
    LogMessage("SmtpService: ServiceCtrlHandler received SERVICE_CONTROL_STOP control code.", kTag,
               __LINE__);
    service->SCMStatus(platform::kServiceStopPending, 0, 0, kStoppingCheckPoint,
                       service->m_stopWaitHint);
    LogMessage("SmtpService: ServiceCtrlHandler will stop the service.", kTag, __LINE__);
    service->OnStopService();
    LogMessage("SmtpService: ServiceCtrlHandler stopped the service.", kTag, __LINE__);
  } else {
    LogMessage(
        "SmtpService: ServiceCtrlHandler ignoring control code (" + std::to_string(control) + ").",
        kTag, __LINE__);
    service->SCMStatus(platform::kServiceRunning, 0, 0, 0, 0);
  }
  LogMessage("SmtpService: Leaving ServiceCtrlHandler.", kTag, __LINE__);
}

int CService::SCMStatus(std::uint32_t state, std::uint32_t win32ExitCode,
                        std::uint32_t specificExitCode, std::uint32_t checkPoint,
                        std::uint32_t waitHint) {
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = state == platform::kServiceStartPending ? 0 : kAcceptedControls;
  status.win32ExitCode = specificExitCode != 0
                             ? static_cast<std::uint32_t>(platform::kErrorServiceSpecificError)
                             : win32ExitCode;
  status.serviceSpecificExitCode = specificExitCode;
  status.checkPoint = checkPoint;
  status.waitHint = waitHint;

  platform::ServiceStatusHandle handle;
  {
    std::lock_guard lock(m_lock);
    handle = m_ServiceStatusHandle;
  }
  LogMessage("SCMStatus :before SetServiceStatus.", kTag, __LINE__);
  const long error = m_calls.setStatus(handle, status);
  LogMessage("SCMStatus :after SetServiceStatus.", kTag, __LINE__);
  if (error != platform::kErrorSuccess) {
    LogMessage("SCMStatus failed so stop the service (" + std::to_string(error) + ")", kTag,
               __LINE__);
    OnStopService();
  }
  LogMessage("SCMStatus : Leaving.", kTag, __LINE__);
  platform::SetLastError(error);
  return error == platform::kErrorSuccess ? 1 : 0;
}

int CService::OnStartService() {
  LogMessage("OnStartService:creating a thread with user fn.", kTag, __LINE__);
  auto ended = std::make_shared<platform::Event>(true, false);
  {
    std::lock_guard lock(m_lock);
    m_startRunning = true;
  }
  const long error = platform::Thread::Start(
      [this, ended] {
        RunStartRoutine();
        // Nothing of this object is touched after this.
        ended->Set();
      },
      0, m_startThread);
  if (error != platform::kErrorSuccess) {
    {
      std::lock_guard lock(m_lock);
      m_startRunning = false;
    }
    LogMessage("OnStartService: unable to creating a thread with user fn.", kTag, __LINE__);
    platform::SetLastError(error);
    return 0;
  }
  m_startEnded = std::move(ended);
  LogMessage("OnStartService: successfully created a thread.", kTag, __LINE__);
  return 1;
}

void CService::RunStartRoutine() {
  const int result = m_startRoutine ? m_startRoutine(this) : 0;
  bool stopRequested = false;
  {
    std::lock_guard lock(m_lock);
    m_startRunning = false;
    stopRequested = m_stopRequested;
    // A stop that came during the start could not let go of threads that did not exist yet.
    if (stopRequested) ReleaseGatewayThreads();
  }
  if (result == kGatewayNotStarted) {
    // The stopped report says why: the service must not read as running without its receiver.
    m_startFailure.store(static_cast<std::uint32_t>(result));
    if (!stopRequested) OnStopService();
  }
}

void CService::ReleaseGatewayThreads() {
  if (SMTPIn* const receiver = m_SMTPIN.load()) {
    receiver->SetStopFlag();
    receiver->ReleaseAcceptThread();
  }
  if (SMTPOut* const sender = m_SMTPOUT.load()) sender->ReleaseMainThread();
}

void CService::OnStopService() {
  LogMessage("OnStopService: Will set the stop event and stop the service.", kTag, __LINE__);
  ReportGatewayEvent(platform::EventType::Information, kStoppingEvent, kServiceName);
  std::lock_guard lock(m_lock);
  m_stopRequested = true;
  // While the start routine runs, the threads are let go of by the start thread when it ends.
  const bool release = !m_startRunning;
  if (SMTPIn* const receiver = m_SMTPIN.load()) {
    receiver->SetStopFlag();
    if (release) receiver->ReleaseAcceptThread();
  } else {
    LogMessage("CServ->m_SMTPIN->m_AcceptThread is invalid", kTag, __LINE__);
  }
  if (SMTPOut* const sender = m_SMTPOUT.load()) {
    if (release) sender->ReleaseMainThread();
  } else {
    LogMessage("CServ->m_SMTPOUT->m_MainThreadID is invalid", kTag, __LINE__);
  }
  if (m_stopEvent) m_stopEvent->Set();
  LogMessage("OnStopService: set the stop event.", kTag, __LINE__);
}

void CService::Exit(long error) {
  LogMessage("CService::Exit : Entering .", kTag, __LINE__);
  bool hasStatusHandle = false;
  {
    std::lock_guard lock(m_lock);
    m_stopEvent.reset();
    hasStatusHandle = m_hasStatusHandle;
  }
  if (hasStatusHandle) {
    // The manager sees exit code 0 whatever the error, unless the gateway did not start.
    SCMStatus(platform::kServiceStopped, 0, m_startFailure.load(), 0, 0);
    LogMessage("Error value in exit function :" + std::to_string(error), kTag, __LINE__);
    LogMessage("CService::Exit : m_ServiceStatusHandle is not NULL.", kTag, __LINE__);
  }
  if (m_startThread.IsHeld()) {
    LogMessage("CService::Exit : Closing the Thread.", kTag, __LINE__);
    m_startThread.Detach();
    LogMessage("CService::Exit : Closed the Thread.", kTag, __LINE__);
  }
  LogMessage("CService::Exit : Leaving.", kTag, __LINE__);
}

}  // namespace faxmail
