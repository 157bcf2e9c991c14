#include "tools/faxmailsim/fax_server.h"

#include <algorithm>
#include <utility>

#include "base/text.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/win_error.h"
#include "tools/faxmailsim/envelope.h"
#include "tools/faxmailsim/fax_image.h"
#include "tools/faxmailsim/files.h"
#include "tools/faxmailsim/ready_file.h"

namespace faxmail::sim {
namespace {

namespace pf = platform;

constexpr char kReadySuffix[] = ".tmp";
constexpr char kRefusedSuffix[] = ".Refused";
constexpr char kFailedSuffix[] = ".Failed";
constexpr char kSentOk[] = "sent OK";
constexpr char kRejected[] = "rejected";
constexpr char kImageName[] = "fax.tif";
// Folders of one envelope and recipient already taken in the sent folder ("-2", "-3" ...).
constexpr int kMaxRecordTries = 1000;
// A refusal list longer than this is not a list of numbers.
constexpr std::uint64_t kMaxRefusalListBytes = 1 << 20;
// A number in a folder name or a subject; longer ones are cut.
constexpr std::size_t kMaxShownNumber = 40;
// Enough of an attachment to tell text from other data.
constexpr std::size_t kSniffBytes = 4096;

std::string Plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// A number as it may appear in a subject and a folder name.
std::string ShownNumber(std::string_view number) {
  std::string shown;
  for (const char c : number.substr(0, kMaxShownNumber)) {
    const bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '+' || c == '-' || c == '.' || c == '_';
    shown += keep ? c : '_';
  }
  if (shown.empty() || shown.front() == '.') shown.insert(0, 1, '_');
  return shown;
}

enum class Kind { Pdf, PostScript, Text, Other };

Kind KindOf(std::string_view head, std::string_view storedName) {
  if (head.starts_with("%PDF-")) return Kind::Pdf;
  if (head.starts_with("%!")) return Kind::PostScript;
  for (const std::string_view ext : {".txt", ".text", ".asc", ".log", ".csv"})
    if (EndsWithNoCase(storedName, ext)) return Kind::Text;
  if (head.empty()) return Kind::Other;
  for (const char c : head) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') return Kind::Other;
  }
  return Kind::Text;
}

// A folder of scratch files, removed with its files when the object goes.
class ScratchFolder {
 public:
  ~ScratchFolder() {
    if (m_path.empty()) return;
    for (const std::string& name : m_files) pf::DeleteFile(m_path + "/" + name);
    pf::RemoveDirectory(m_path);
  }
  ScratchFolder() = default;
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  long Create(const std::string& path) {
    const long err = pf::CreatePrivateDirectory(path);
    if (err == pf::kErrorSuccess) m_path = path;
    return err;
  }
  // The path of a file of the folder, which goes with it.
  std::string File(const std::string& name) {
    m_files.push_back(name);
    return m_path + "/" + name;
  }

 private:
  std::string m_path;
  std::vector<std::string> m_files;
};

struct Piece {
  std::string shownName;
  std::string storedName;
  std::string copy;  // the scratch copy; empty when there is none
  std::string note;  // why it is not on the fax ("missing" ...); empty when it is
};

class Transmission {
 public:
  Transmission(const FaxServerOptions& options, std::string stem, std::string envelopeText,
               Envelope envelope)
      : m_options(options),
        m_stem(std::move(stem)),
        m_envelopeText(std::move(envelopeText)),
        m_envelope(std::move(envelope)) {}

  // Copies the files, renders the fax. Empty on success.
  std::string Prepare() {
    const std::string out = m_options.data + "OUT" + pf::kPathSeparator;
    if (!pf::EnsureDirectories(m_options.sent)) return "cannot create " + m_options.sent;
    const std::string scratch = m_options.sent + pf::kPathSeparator + ".work-" + m_stem + "-" +
                                std::to_string(pf::ProcessId());
    if (const long err = m_scratch.Create(scratch))
      return "cannot create " + scratch + " (error " + std::to_string(err) + ")";

    bool cut = false;
    const std::string bodyPath = out + m_envelope.bodyName;
    if (pf::FileExists(bodyPath)) {
      if (std::string failed = ReadBounded(bodyPath, kMaxMessageTextBytes, m_text, &cut);
          !failed.empty())
        return failed;
    }
    for (std::size_t i = 0; i < m_envelope.attachments.size(); ++i) {
      const Attachment& a = m_envelope.attachments[i];
      Piece piece{a.shownName, a.storedName, {}, {}};
      const std::string path = out + a.storedName;
      if (!pf::FileExists(path)) {
        piece.note = "missing";
      } else {
        piece.copy = m_scratch.File("att" + std::to_string(i));
        if (std::string failed = CopyToNew(path, kMaxAttachmentBytes, piece.copy);
            !failed.empty()) {
          piece.copy.clear();
          piece.note = failed;
        }
      }
      m_pieces.push_back(std::move(piece));
    }
    return Render(cut);
  }

  // Records and notifies for every recipient. Empty when all went well.
  std::string Deliver(std::ostream& report, std::ostream& errors) {
    std::string failures;
    for (std::size_t i = 0; i < m_envelope.recipients.size(); ++i) {
      if (std::string failed = DeliverOne(i, report); !failed.empty()) {
        errors << "faxmailsim: " << m_stem << ": " << failed << '\n';
        failures = failed;
      }
    }
    return failures;
  }

 private:
  std::string Render(bool textCut) {
    std::size_t textPages = kMaxTextPages;
    std::vector<std::string> parts;
    std::vector<std::string> listing;
    const Recipient& first = m_envelope.recipients.front();
    std::string page = "Fax from: " + first.sender + "\nSubject:  " + first.subject + "\n\n";
    page += m_text;
    if (std::string failed = RenderText(page, textPages, parts, textCut); !failed.empty())
      return failed;
    if (textCut) listing.push_back("The message text is cut short here.");

    for (Piece& piece : m_pieces) {
      if (!piece.note.empty()) continue;
      const std::size_t room = kMaxFaxPages > parts.size() ? kMaxFaxPages - parts.size() : 0;
      std::string head;
      bool more = false;
      if (std::string failed = ReadBounded(piece.copy, kSniffBytes, head, &more); !failed.empty()) {
        piece.note = failed;
        continue;
      }
      const Kind kind = KindOf(head, piece.storedName);
      if (kind == Kind::Other) {
        piece.note = "not rendered";
      } else if (room == 0) {
        piece.note = "no room left on the fax";
      } else if (kind == Kind::Text) {
        std::string text;
        bool cut = false;
        if (std::string failed = ReadBounded(piece.copy, kMaxMessageTextBytes, text, &cut);
            !failed.empty()) {
          piece.note = failed;
          continue;
        }
        if (textPages == 0) {
          piece.note = "no room left on the fax";
          continue;
        }
        if (std::string failed = RenderText(text, textPages, parts, cut); !failed.empty())
          piece.note = failed;
        else if (cut)
          piece.note = "cut short";
      } else {
        const std::string image = m_scratch.File("part" + std::to_string(parts.size()) + ".tif");
        std::string failed;
        if (RenderWithGhostscript(piece.copy, image, room, failed))
          parts.push_back(image);
        else
          piece.note = failed;
      }
    }
    for (const Piece& piece : m_pieces)
      if (!piece.note.empty())
        listing.push_back("  " + piece.shownName + " (" + piece.storedName + "): " + piece.note);
    if (!listing.empty()) {
      std::string text = "Attachments not shown on this fax, or not in full:\n\n";
      for (const std::string& line : listing) text += line + "\n";
      std::size_t onePage = 1;
      bool cut = false;
      if (std::string failed = RenderText(text, onePage, parts, cut); !failed.empty())
        return failed;
    }
    m_image = m_scratch.File(kImageName);
    std::string failed;
    if (!JoinFaxPages(parts, m_image, m_pages, failed)) return failed;
    return {};
  }

  // Text as pages through a PostScript program; pagesLeft is the budget, taken from.
  std::string RenderText(std::string_view text, std::size_t& pagesLeft,
                         std::vector<std::string>& parts, bool& cut) {
    bool more = false;
    const auto pages = PaginateText(text, pagesLeft, more);
    cut = cut || more;
    if (pages.empty()) return {};
    pagesLeft -= std::min(pagesLeft, pages.size());
    const std::string number = std::to_string(parts.size());
    const std::string program = m_scratch.File("part" + number + ".ps");
    if (std::string failed = WriteNew(program, TextPagesProgram(pages)); !failed.empty())
      return failed;
    const std::string image = m_scratch.File("part" + number + ".tif");
    std::string failed;
    if (!RenderWithGhostscript(program, image, pages.size(), failed)) return failed;
    parts.push_back(image);
    return {};
  }

  // The result file's lines for attachments that are not on the fax, or not in full.
  std::string NotShown() const {
    std::string lines;
    for (const Piece& piece : m_pieces)
      if (!piece.note.empty())
        lines += "not shown: " + SafeLine(piece.shownName) + " (" + piece.storedName +
                 "): " + SafeLine(piece.note) + "\n";
    return lines;
  }

  std::string DeliverOne(std::size_t index, std::ostream& report) {
    const Recipient& r = m_envelope.recipients[index];
    const std::string number = ShownNumber(r.number);
    const bool refused = m_options.refused.contains(NormalNumber(r.number));
    const bool sent = r.numeric && !refused;
    const char* status = sent ? kSentOk : kRejected;

    std::string folder;
    const std::string base = m_options.sent + pf::kPathSeparator + m_stem + "-" +
                             std::to_string(index + 1) + "-" + number;
    for (int n = 1; n <= kMaxRecordTries && folder.empty(); ++n) {
      const std::string candidate = n == 1 ? base : base + "-" + std::to_string(n);
      const long err = pf::CreateDirectory(candidate);
      if (err == pf::kErrorSuccess)
        folder = candidate;
      else if (err != pf::kErrorAlreadyExists && err != pf::kErrorFileExists)
        return "cannot create " + candidate + " (error " + std::to_string(err) + ")";
    }
    if (folder.empty()) return "no free record folder for " + base;
    const std::string at = folder + pf::kPathSeparator;
    if (std::string failed = WriteNew(at + "envelope", m_envelopeText); !failed.empty())
      return failed;
    if (std::string failed = WriteNew(at + "message.txt", m_text); !failed.empty()) return failed;
    for (const Piece& piece : m_pieces) {
      if (piece.copy.empty()) continue;
      if (std::string failed = CopyToNew(piece.copy, kMaxAttachmentBytes, at + piece.storedName);
          !failed.empty())
        return failed;
    }
    const std::string image = at + kImageName;
    if (std::string failed = CopyToNew(m_image, kMaxAttachmentBytes, image); !failed.empty())
      return failed;

    ReadyFile notice;
    notice.from = "Fax Server <fax@" + pf::HostName() + ">";
    notice.to = r.sender;
    if (sent) {
      notice.subject = SentSubject(number);
      notice.body.push_back("Your fax to " + number + " was sent OK: " + Plural(m_pages, "page") +
                            ".");
    } else {
      notice.subject = RejectedSubject(number);
      notice.body.push_back(
          "Your fax to " + number + " was rejected: " +
          (refused ? "the number is refused here." : "that is not a fax number."));
    }
    notice.body.push_back("Subject : " + r.subject);
    notice.attachments.push_back({kImageName, image});
    std::string readyName;
    if (std::string failed =
            PutReadyFile(m_options.data + "IN" + pf::kPathSeparator, notice, readyName);
        !failed.empty())
      return failed;

    const std::string result = "number: " + number + "\nrecipient: " + SafeLine(r.line) +
                               "\nsender: " + r.sender + "\nsubject: " + SafeLine(r.subject) +
                               "\npages: " + std::to_string(m_pages) + "\nresult: " + status +
                               "\nnotification: IN/" + readyName + "\n" + NotShown();
    if (std::string failed = WriteNew(at + "result", result); !failed.empty()) return failed;
    report << "faxmailsim: " << m_stem << " to " << number << " " << status << ", "
           << Plural(m_pages, "page") << ", " << image << '\n'
           << std::flush;
    return {};
  }

  const FaxServerOptions& m_options;
  std::string m_stem;
  std::string m_envelopeText;
  Envelope m_envelope;
  ScratchFolder m_scratch;
  std::string m_text;
  std::vector<Piece> m_pieces;
  std::string m_image;
  std::size_t m_pages = 0;
};

// Renames the envelope from its ready name to stem + suffix; the name it got, or why not.
std::string SetAside(const std::string& out, const std::string& name, const std::string& stem,
                     const char* suffix, bool& done) {
  const std::string target = stem + suffix;
  done = pf::RenameFile(out + name, out + target, /*replace=*/false) == pf::kErrorSuccess;
  if (done) pf::SyncDirectory(out);
  return target;
}

}  // namespace

std::string SentSubject(std::string_view number) {
  return "Fax to " + std::string(number) + " " + kSentOk;
}
std::string RejectedSubject(std::string_view number) {
  return "Fax to " + std::string(number) + " " + kRejected;
}

std::string ReadRefusalList(const std::string& path, std::set<std::string>& numbers) {
  std::string text;
  if (std::string failed = ReadBounded(path, kMaxRefusalListBytes, text); !failed.empty())
    return failed;
  std::size_t at = 0;
  while (at < text.size()) {
    auto end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (const auto hash = line.find('#'); hash != std::string_view::npos)
      line = line.substr(0, hash);
    const std::string number = NormalNumber(Trim(line, " \t\r"));
    if (!number.empty()) numbers.insert(number);
  }
  return {};
}

FaxServer::FaxServer(FaxServerOptions options) : m_options(std::move(options)) {}

int FaxServer::HandleReady(std::ostream& report, std::ostream& errors) {
  const std::string out = m_options.data + "OUT" + pf::kPathSeparator;
  std::vector<pf::DirEntry> entries;
  if (pf::FindFiles(out, "*.tmp", entries) != pf::kErrorSuccess) {
    errors << "faxmailsim: cannot list " << out << '\n';
    return 1;
  }
  std::vector<std::string> names;
  for (const pf::DirEntry& entry : entries)
    if (!entry.isDirectory && !entry.isHidden) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  int failed = 0;
  for (const std::string& name : names)
    if (HandleEnvelope(name, report, errors) == Taken::Failed) ++failed;
  return failed;
}

Taken FaxServer::HandleEnvelope(const std::string& name, std::ostream& report,
                                std::ostream& errors) {
  const std::string out = m_options.data + "OUT" + pf::kPathSeparator;
  const std::string path = out + name;
  const std::string stem =
      EndsWithNoCase(name, kReadySuffix) ? name.substr(0, name.size() - 4) : name;

  std::string text;
  Envelope envelope;
  std::string refusal;
  // Held without sharing from here until it is removed or set aside: its writer gave it its
  // ready name when it was complete, and no other taker may have it meanwhile.
  pf::File file;
  {
    const long err =
        pf::File::Open(path, pf::Access::Read, pf::Share::None, pf::Disposition::OpenExisting, file,
                       pf::Links::DontFollow, pf::Kind::RegularFile);
    if (err == pf::kErrorSharingViolation || err == pf::kErrorFileNotFound) return Taken::Busy;
    if (err != pf::kErrorSuccess) {
      refusal = "cannot be opened as a file (error " + std::to_string(err) + ")";
    } else {
      char buffer[16 * 1024];  // an envelope is a few hundred bytes; a few reads at most
      for (;;) {
        std::size_t got = 0;
        if (const long readErr = file.Read(buffer, sizeof buffer, got)) {
          errors << "faxmailsim: cannot read " << path << " (error " << readErr << ")\n";
          return Taken::Failed;
        }
        if (got == 0) break;
        if (text.size() + got > kMaxEnvelopeBytes) {
          refusal = "larger than " + std::to_string(kMaxEnvelopeBytes) + " bytes";
          break;
        }
        text.append(buffer, got);
      }
    }
    if (refusal.empty()) refusal = ParseEnvelope(text, envelope);
  }
  if (!refusal.empty()) {
    file.Close();
    bool done = false;
    const std::string aside = SetAside(out, name, stem, kRefusedSuffix, done);
    errors << "faxmailsim: " << name << " refused: " << refusal << "; "
           << (done ? "set aside as " + aside : "could not be set aside") << '\n';
    return Taken::Failed;
  }

  Transmission transmission(m_options, stem, text, envelope);
  std::string failed = transmission.Prepare();
  if (failed.empty())
    failed = transmission.Deliver(report, errors);
  else
    errors << "faxmailsim: " << stem << ": " << failed << '\n';
  file.Close();
  if (!failed.empty()) {
    bool done = false;
    const std::string aside = SetAside(out, name, stem, kFailedSuffix, done);
    errors << "faxmailsim: " << name
           << (done ? " set aside as " + aside : " could not be set aside") << '\n';
    return Taken::Failed;
  }
  // Every recipient has its record and its notification: the envelope and its files go.
  for (const Attachment& a : envelope.attachments) pf::DeleteFile(out + a.storedName);
  pf::DeleteFile(out + envelope.bodyName);
  if (const long err = pf::DeleteFile(path)) {
    errors << "faxmailsim: cannot remove " << path << " (error " << err << ")\n";
    return Taken::Failed;
  }
  pf::SyncDirectory(out);
  return Taken::Done;
}

}  // namespace faxmail::sim
