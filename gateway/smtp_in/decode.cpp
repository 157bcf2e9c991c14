#include "gateway/smtp_in/smtp_in.h"

#include <mutex>

#include "gateway/service/log.h"

namespace faxmail {

namespace {
constexpr char kTag[] = "SMTP_IN";
}

void SMTPInThread::Decode(const std::string& path) {
  std::lock_guard work(m_server.WorkLock());
  LogMessageText2("SMTPIn - Decode(fname): ", path, kTag, __LINE__);
}

}  // namespace faxmail
