// CService: the service wrapper. It records what StartGateway builds, so that the stop path
// can reach the receiver and the sender.
#pragma once

namespace faxmail {

class SMTPIn;
class SMTPOut;

class CService {
 public:
  CService() = default;
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  SMTPIn* m_SMTPIN = nullptr;
  SMTPOut* m_SMTPOUT = nullptr;
};

}  // namespace faxmail
