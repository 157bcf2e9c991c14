#include "gateway/smtp_out/compose.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "base/utf8.h"
#include "common/generate_id.h"
#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/smtp_out/address.h"
#include "gateway/smtp_out/encoder.h"
#include "gateway/smtp_out/tiff_pdf.h"
#include "platform/process.h"
#include "platform/temp_file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_OUT";

// Longest line taken from a ready file at once (with its LF); a longer line comes in pieces.
constexpr std::size_t kReadyLineLimit = 259;
// Room of the message identifier, with its terminating zero.
constexpr std::size_t kIdSize = 260;
// Columns reserved at the end of the subject header for the "Subject : " addition.
constexpr std::size_t kSubjectRoom = 33;
// Characters of the "Subject : " text that fit the room after " - ".
constexpr std::size_t kSubjectText = 29;
// An attachment's file name in IN, as the fax server writes it.
constexpr std::size_t kMaxAttachmentName = 21;
// The name shown to the recipient.
constexpr std::size_t kMaxShownName = 99;
constexpr std::size_t kCopyBlock = 64 * 1024;
// Attachment lines of one ready file: a fax and its cover pages are a handful. More are not a
// fax server's file; each line costs an encoding and log lines, so 100,000 of them would hold
// the one sender for many minutes. Such a file is set aside unsent.
constexpr int kMaxAttachmentLines = 1000;

constexpr char kMailFromKey[] = "FROM:";
constexpr char kSubjectKey[] = "SUBJECT:";
constexpr char kFaxReceived[] = "Fax received from";
constexpr char kSentOk[] = "sent OK";
constexpr char kRejected[] = "rejected";
constexpr char kBeginBody[] = "BEGIN BODY";
constexpr char kEndBody[] = "END BODY";
constexpr char kBeginAttach[] = "BEGIN ATTACH";
constexpr char kEndAttach[] = "END ATTACH";
constexpr char kSubjectAddition[] = "Subject : ";
constexpr char kBoundaryPrefix[] = "----= Message-ID:";

constexpr char kLogGenId[] = "SMTPOut- Error retrieving os_genid()";
constexpr char kLogMultiple[] = "SMTPOut- Multiple attachments found";
constexpr char kLogCannotEncode[] = "SMTPOut- Unable to encode the Attachment file";
constexpr char kLogBeforeEncode[] =
    "SMTPOut- Error: Unable to open the Attachment file BEFORE Encode";
constexpr char kLogAfterEncode[] =
    "SMTPOut- Error: Unable to open the Attachment file AFTER Encode";
constexpr char kLogWriteFailed[] = "SMTPOut- Error: Unable to write to the output file";
constexpr char kLogNotPdf[] = "SMTPOut- Fax image not converted to PDF, attached as it is: ";
constexpr char kPdfContentType[] = "application/pdf";
// The diagnostic of a delivery report: the first line of the notice's text, at most this long.
constexpr std::size_t kMaxDiagnostic = 200;
// Digits that make a fax number in a notice's subject (fewer are a count, not a number).
constexpr std::size_t kMinNumberDigits = 3;
constexpr char kLogRefused[] = "SMTPOut- Error: Attachment line refused: ";
constexpr char kLogNotAFile[] = "SMTPOut- Error: Attachment is not a regular file: ";
constexpr char kLogTooManyAttachments[] = "SMTPOut- Error: More attachment lines than ";

bool Contains(std::string_view line, std::string_view key) {
  return line.find(key) != std::string_view::npos;
}

bool IsEmptyLine(std::string_view line) { return line == "\r\n"; }

// The line without its line end (LF, and a CR before it).
std::string_view WithoutLineEnd(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// The text of a header line as it may stand in the mail header: without its line end and
// without any other control character but TAB.
std::string HeaderText(std::string_view line) {
  std::string text;
  text.reserve(line.size());
  for (const char c : line)
    if (c == '\t' || !IsControl(c)) text.push_back(c);
  return text;
}

bool IsSafeFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxAttachmentName || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

// The shown name goes into quoted header parameters: nothing in it may end or break them.
std::string SafeShownName(std::string_view name) {
  std::string out(Utf8Prefix(name, kMaxShownName));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"' || c == '\\') c = '_';
  return out;
}

// The fax number a notice is about: the first run of at least kMinNumberDigits digits in its
// subject, given as "+" and its digits ("+" alone when there is none: the field must not be
// empty). Digits may be grouped by '-', '.', '(' and ')', and, after a leading '+' (the
// international form "+44 20 7946 0000"), by single blanks.
std::string FaxNumber(std::string_view subject) {
  const auto digit = [&](std::size_t at) {
    return at < subject.size() && std::isdigit(static_cast<unsigned char>(subject[at]));
  };
  for (std::size_t at = 0; at < subject.size(); ++at) {
    if (!digit(at)) continue;
    const bool international = at > 0 && subject[at - 1] == '+';
    std::string digits;
    std::size_t end = at;
    for (; end < subject.size(); ++end) {
      const char c = subject[end];
      if (digit(end)) {
        digits += c;
      } else if (!((c == '-' || c == '.' || c == '(' || c == ')' || (c == ' ' && international)) &&
                   digit(end + 1))) {
        break;
      }
    }
    if (digits.size() >= kMinNumberDigits) return "+" + digits;
    at = end;
  }
  return "+";
}

class Composer {
 public:
  Composer(platform::File& ready, platform::File& work, const CFileMan& options,
           std::string& firstAttachment)
      : m_ready(ready), m_work(work), m_options(options), m_firstAttachment(firstAttachment) {}

  int Run();

 private:
  enum class Phase { Header, Body, AfterBody };

  bool Next(std::string& line) { return CFileMan::ReadLine(m_ready, line, kReadyLineLimit) > 0; }
  void Write(std::string_view text);
  void HeaderLine(const std::string& line);
  void BodyLine(const std::string& line);
  void AfterBodyLine(const std::string& line);
  void WriteMimeHeader();
  // The delivery report's machine-readable part (NotificationFormat 1).
  void WriteStatusPart();
  std::string CloseLine() const { return "------= Message-ID:" + m_id + "--\r\n"; }
  void FillSubjectRoom(std::string_view line);
  void TakeAttachmentLine(std::string_view line, bool first);
  // Counts one attachment line; false (the file refused) once there are too many.
  bool CountAttachmentLine();
  std::string BoundaryLine() const { return kBoundaryPrefix + m_id + "\r\n"; }

  platform::File& m_ready;
  platform::File& m_work;
  const CFileMan& m_options;
  std::string& m_firstAttachment;

  bool m_multipart = false;
  bool m_faxReceived = false;
  // What the last subject line says a notice is about (neither for a received fax).
  bool m_sentOk = false;
  bool m_rejected = false;
  std::string m_subject;
  // The mail is a delivery report (fixed when its MIME header is written), and its close
  // delimiter was written.
  bool m_report = false;
  bool m_closed = false;
  std::string m_diagnostic;  // the notice's first text line
  bool m_result = false;
  bool m_subjectPending = false;
  Phase m_phase = Phase::Header;
  bool m_attachmentsBegun = false;
  bool m_attachmentsEnded = false;
  std::string m_previous;
  std::string m_id;
  std::int64_t m_subjectRoom = -1;
  bool m_writeFailed = false;
  bool m_refused = false;
  int m_attachmentLines = 0;
  // A header line longer than one read was begun without its line end.
  bool m_headerLineOpen = false;
};

void Composer::Write(std::string_view text) {
  if (text.empty()) return;
  if (CFileMan::Write(m_work, text.data(), text.size()) == text.size()) return;
  // Once per message: a full disk would otherwise log every line.
  if (!m_writeFailed) LogMessage(kLogWriteFailed, kTag, __LINE__);
  m_writeFailed = true;
}

int Composer::Run() {
  m_multipart = m_options.GetIncludeTIFF() != 0;
  std::string mailFrom;
  m_options.GetMailFrom(mailFrom, kMailFromLimit);

  std::string line;
  while (Next(line)) {
    if (Contains(line, kMailFromKey) && !mailFrom.empty()) line = kMailFromKey + mailFrom + "\r\n";
    if (Contains(line, kSubjectKey)) {
      m_result = true;
      if (Contains(line, kFaxReceived)) m_faxReceived = m_multipart = true;
      m_sentOk = Contains(line, kSentOk);
      m_rejected = Contains(line, kRejected);
      m_subject = HeaderText(line);
      if (Contains(line, kSentOk) && m_options.GetNotifyOnSuccess() == 0 && !m_faxReceived)
        m_result = false;
      if (Contains(line, kRejected) && m_options.GetNotifyOnFailure() == 0 && !m_faxReceived)
        m_result = false;
      m_subjectPending = true;
    }
    switch (m_phase) {
      case Phase::Header:
        HeaderLine(line);
        m_previous = line;
        break;
      case Phase::Body:
        BodyLine(line);
        m_previous = line;
        break;
      case Phase::AfterBody: AfterBodyLine(line); break;
    }
  }
  if (m_report && !m_closed) Write(CloseLine());
  Write(".\r\n");
  m_work.Seek(0, SEEK_SET);
  m_ready.Seek(0, SEEK_SET);
  if (m_refused) return kComposeRefused;
  if (m_writeFailed) return kComposeWriteFailed;
  return m_result ? kComposeReady : kComposeDropped;
}

void Composer::HeaderLine(const std::string& line) {
  if (Contains(line, kBeginBody)) {
    // A section mark always takes the line after it (its empty line) along, and neither is
    // written; only with an empty line on both sides does it open the body. Without them the
    // file goes on as header lines.
    std::string next;
    const bool haveNext = Next(next);
    if (IsEmptyLine(m_previous) && haveNext && IsEmptyLine(next)) {
      WriteMimeHeader();
      m_phase = Phase::Body;
    }
    return;
  }
  if (IsEmptyLine(line)) return;  // the mail header must not end before the MIME block
  const bool ended = line.ends_with('\n');
  const std::string text = HeaderText(line);
  if (text.empty() && !m_headerLineOpen) return;  // nothing left: an empty line, as above
  if (m_subjectPending && m_options.GetSubjectLine() == 1 && !m_faxReceived && ended) {
    Write(text);
    if (m_work.Seek(0, SEEK_CUR, &m_subjectRoom) != platform::kErrorSuccess) m_subjectRoom = -1;
    Write(std::string(kSubjectRoom, ' ') + "\r\n");
    m_subjectPending = false;
    m_headerLineOpen = false;
    return;
  }
  Write(ended ? text + "\r\n" : text);
  m_headerLineOpen = !ended;
}

void Composer::WriteMimeHeader() {
  m_report = m_options.GetNotificationFormat() == kNotificationReport && !m_faxReceived &&
             (m_sentOk || m_rejected);
  Write("Return-Receipt-To:\r\n");
  Write("MIME-Version: 1.0\r\n");
  if (m_report)
    Write("Content-Type: multipart/report; report-type=delivery-status;\r\n");
  else
    Write(m_multipart ? "Content-Type: multipart/mixed;\r\n" : "Content-Type: text/plain;\r\n");
  if (GenerateId(m_id, kIdSize) < 0) LogMessage(kLogGenId, kTag, __LINE__);
  Write("        boundary=\"" + std::string(kBoundaryPrefix) + m_id + "\"\r\n\r\n");
  if (m_multipart || m_report) {
    Write("--" + BoundaryLine());
    Write("Content-Type: text/plain\r\n\r\n");
  }
}

void Composer::FillSubjectRoom(std::string_view line) {
  if (m_subjectRoom < 0) return;
  std::string_view text = WithoutLineEnd(
      line.substr(line.find(kSubjectAddition) + std::string_view(kSubjectAddition).size()));
  std::string addition = " - " + std::string(text.substr(0, kSubjectText));
  // The room is inside the mail header: nothing from the text may end or split that line.
  for (char& c : addition)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  addition.resize(kSubjectRoom, ' ');
  addition += "\r\n";
  std::int64_t end = 0;
  if (m_work.Seek(m_subjectRoom, SEEK_SET) != platform::kErrorSuccess) return;
  Write(addition);
  m_work.Seek(0, SEEK_END, &end);
}

void Composer::BodyLine(const std::string& line) {
  if (m_options.GetSubjectLine() == 1 && !m_faxReceived && Contains(line, kSubjectAddition))
    FillSubjectRoom(line);
  if (Contains(line, kEndBody)) {
    // As with the opening mark: it and the line after it are never written, and without an
    // empty line on both sides it does not end the body (the attachments are never reached).
    std::string next;
    const bool haveNext = Next(next);
    if (IsEmptyLine(m_previous) && haveNext && IsEmptyLine(next)) {
      if (m_report)
        WriteStatusPart();
      else if (m_multipart)
        Write("--" + BoundaryLine());
      m_phase = Phase::AfterBody;
    }
    return;
  }
  if (m_diagnostic.empty()) m_diagnostic = HeaderText(line).substr(0, kMaxDiagnostic);
  Write(line);
}

void Composer::WriteStatusPart() {
  std::string domain;
  if (m_options.GetDomainName(domain, kShortTextLimit) != 0 || domain.empty()) domain = "localhost";
  const bool failed = m_rejected;
  Write("--" + BoundaryLine());
  Write("Content-Type: message/delivery-status\r\n\r\n");
  Write("Reporting-MTA: dns; " + HeaderText(domain) + "\r\n\r\n");
  Write("Final-Recipient: X-fax; " + FaxNumber(m_subject) + "\r\n");
  Write(failed ? "Action: failed\r\nStatus: 5.0.0\r\n" : "Action: delivered\r\nStatus: 2.0.0\r\n");
  Write("Diagnostic-Code: X-fax; " + (m_diagnostic.empty() ? m_subject : m_diagnostic) +
        "\r\n\r\n");
}

void Composer::AfterBodyLine(const std::string& line) {
  if (!m_attachmentsBegun) {
    if (!Contains(line, kBeginAttach)) {
      // In a report these lines would land in the status part and break its fields.
      if (!m_report) Write(line);
      return;
    }
    m_attachmentsBegun = true;
    std::string next;
    if (!Next(next)) return;
    if (!Contains(next, kEndAttach)) {
      if (!CountAttachmentLine()) return;
      if (m_report && m_multipart) Write("--" + BoundaryLine());
      TakeAttachmentLine(next, true);
      return;
    }
    // An empty attachment section: its end line is handled below.
    AfterBodyLine(next);
    return;
  }
  if (m_attachmentsEnded) return;
  if (Contains(line, kEndAttach)) {
    if (m_multipart || m_report) {
      Write(CloseLine());
      m_closed = true;
    }
    m_attachmentsEnded = true;
    return;
  }
  if (!CountAttachmentLine()) return;
  LogMessage(kLogMultiple, kTag, __LINE__);
  if (m_multipart) Write("--" + BoundaryLine());
  TakeAttachmentLine(line, false);
}

bool Composer::CountAttachmentLine() {
  if (m_attachmentLines > kMaxAttachmentLines) return false;
  if (++m_attachmentLines <= kMaxAttachmentLines) return true;
  LogMessageText(kLogTooManyAttachments, std::to_string(kMaxAttachmentLines), kTag, __LINE__);
  m_refused = true;
  return false;
}

void Composer::TakeAttachmentLine(std::string_view line, bool first) {
  if (const auto lf = line.find('\n'); lf != std::string_view::npos) line = line.substr(0, lf);
  // "<<" + name to show + ":" + file name in IN + ">>"
  const auto open = line.find("<<");
  const auto colon = open == std::string_view::npos ? open : line.find(':', open + 2);
  std::string_view fileName;
  std::string_view shown;
  if (colon != std::string_view::npos) {
    shown = line.substr(open + 2, colon - open - 2);
    fileName = line.substr(colon + 1);
    if (const auto close = fileName.find(">>"); close != std::string_view::npos)
      fileName = fileName.substr(0, close);
    fileName = WithoutLineEnd(fileName);
  }
  if (!IsSafeFileName(fileName)) {
    LogMessageText(kLogRefused, WithoutLineEnd(line), kTag, __LINE__);
    if (m_multipart)
      ReportGatewayEvent(platform::EventType::Error, 432, kServiceName,
                         std::string(WithoutLineEnd(line)).c_str());
    return;
  }
  const std::string& programPath = m_options.ProgramPath();
  const std::string path = programPath + "IN" + platform::kPathSeparator + std::string(fileName);
  if (first) m_firstAttachment = path;
  if (!m_multipart) {
    // Not read, but deleted after delivery when it is the first: it has to be a file as well.
    platform::File probe;
    if (CFileMan::IsNotRegularFile(CFileMan::OpenInFile(path, platform::Access::Attributes,
                                                        platform::Share::Read, probe))) {
      LogMessageText(kLogNotAFile, path, kTag, __LINE__);
      m_refused = true;
    }
    return;
  }
  const int result = AppendAttachment(path, m_work, SafeShownName(shown), programPath,
                                      m_options.GetAttachFormat() == kAttachAsPdf);
  if (result == kAttachWriteFailed) {
    m_writeFailed = true;
    return;
  }
  if (result == kAttachRefused) {
    m_refused = true;
    return;
  }
  if (result == kAttachAppended) return;
  if (first) {
    LogMessage(kLogCannotEncode, kTag, __LINE__);
    ReportGatewayEvent(platform::EventType::Error, 432, kServiceName, path.c_str());
  } else {
    ReportGatewayEvent(platform::EventType::Error, 432, kServiceName, path.c_str());
    LogMessage(kLogCannotEncode, kTag, __LINE__);
  }
}

}  // namespace

int ComposeMessage(platform::File& ready, platform::File& work, const CFileMan& options,
                   std::string& firstAttachment) {
  ready.Seek(0, SEEK_SET);
  return Composer(ready, work, options, firstAttachment).Run();
}

int AppendAttachment(const std::string& path, platform::File& work, std::string_view name,
                     const std::string& programPath, bool asPdf) {
  const std::string scratch =
      programPath + "IN" + platform::kPathSeparator + "At" + std::to_string(work.Id());
  const std::string partPath = scratch + ".cqx";
  platform::File attachment;
  // A shared open: an attachment that the fax server is still writing is not taken.
  if (const long error =
          CFileMan::OpenInFile(path, platform::Access::Read, platform::Share::Read, attachment);
      error != platform::kErrorSuccess) {
    if (CFileMan::IsNotRegularFile(error)) {
      LogMessageText(kLogNotAFile, path, kTag, __LINE__);
      return kAttachRefused;
    }
    LogMessage(kLogBeforeEncode, kTag, __LINE__);
    return kAttachCannotOpen;
  }
  // The encoded part is scratch: its name in IN goes on every way out, a failed encoding or
  // copy included.
  const platform::TempFile partName(partPath);
  platform::File* source = &attachment;
  std::string shown(name);
  const char* contentType = nullptr;
  const std::string pdfPath = scratch + ".pdf";
  const platform::TempFile pdfName(asPdf ? pdfPath : std::string());
  platform::File pdf;
  if (asPdf && LooksLikeTiff(attachment)) {
    std::uint32_t pages = 0;
    std::string error;
    if (!ConvertTiffToPdf(attachment, pdfPath, pages, error)) {
      LogMessageText(kLogNotPdf, path + ": " + error, kTag, __LINE__);
    } else if (CFileMan::OpenInFile(pdfPath, platform::Access::Read, platform::Share::None, pdf) !=
               platform::kErrorSuccess) {
      LogMessageText(kLogNotPdf, path + ": " + pdfPath + " cannot be opened", kTag, __LINE__);
    } else {
      source = &pdf;
      shown = PdfAttachmentName(shown);
      contentType = kPdfContentType;
    }
    attachment.Seek(0, SEEK_SET);
  }
  const int encoded = EncodeAttachment(*source, partPath, shown, contentType);
  attachment.Close();
  pdf.Close();
  if (encoded != 0) return kAttachEncoderFailed;
  platform::File part;
  if (CFileMan::OpenInFile(partPath, platform::Access::Read, platform::Share::None, part) !=
      platform::kErrorSuccess) {
    LogMessage(kLogAfterEncode, kTag, __LINE__);
    return kAttachPartCannotOpen;
  }
  bool written = true;
  std::string block(kCopyBlock, '\0');
  for (;;) {
    std::size_t got = 0;
    if (part.Read(block.data(), block.size(), got) != platform::kErrorSuccess || got == 0) break;
    if (CFileMan::Write(work, block.data(), got) != got) {
      written = false;
      break;
    }
  }
  if (!CFileMan::WriteText(work, "\r\n")) written = false;
  if (!written) {
    LogMessage(kLogWriteFailed, kTag, __LINE__);
    return kAttachWriteFailed;
  }
  return kAttachAppended;
}

bool FindReceiver(platform::File& work, std::string& receiverLine) {
  work.Seek(0, SEEK_SET);
  std::string raw;
  bool found = false;
  while (CFileMan::ReadLine(work, raw, kReceiverLineSize) > 0) {
    std::string text(WithoutLineEnd(raw));
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!text.starts_with("TO:")) continue;
    receiverLine = "TO: <" + ExtractAddress(text) + ">";
    if (receiverLine.size() >= kReceiverLineSize) receiverLine.resize(kReceiverLineSize - 1);
    found = true;
    break;
  }
  work.Seek(0, SEEK_SET);
  return found;
}

}  // namespace faxmail
