#include "tools/faxmailsim/files.h"

#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail::sim {
namespace {

namespace pf = platform;

std::string Problem(const char* what, const std::string& path, long err) {
  return std::string(what) + " " + path + " (error " + std::to_string(err) + ")";
}

long OpenSource(const std::string& path, pf::File& in) {
  return pf::File::Open(path, pf::Access::Read, pf::Share::None, pf::Disposition::OpenExisting, in,
                        pf::Links::DontFollow, pf::Kind::RegularFile);
}

constexpr std::size_t kChunk = 64 * 1024;  // one read or write; fax images are a few of them

}  // namespace

std::string ReadBounded(const std::string& path, std::uint64_t limit, std::string& out,
                        bool* truncated) {
  out.clear();
  if (truncated) *truncated = false;
  pf::File in;
  if (const long err = OpenSource(path, in)) return Problem("cannot open", path, err);
  char buffer[kChunk];
  for (;;) {
    std::size_t got = 0;
    if (const long err = in.Read(buffer, sizeof buffer, got))
      return Problem("cannot read", path, err);
    if (got == 0) return {};
    if (out.size() + got > limit) {
      if (!truncated) return path + " is larger than " + std::to_string(limit) + " bytes";
      out.append(buffer, static_cast<std::size_t>(limit - out.size()));
      *truncated = true;
      return {};
    }
    out.append(buffer, got);
  }
}

std::string CopyInto(const std::string& source, std::uint64_t limit, pf::File& target) {
  pf::File in;
  if (const long err = OpenSource(source, in)) return Problem("cannot open", source, err);
  char buffer[kChunk];
  std::uint64_t copied = 0;
  for (;;) {
    std::size_t got = 0;
    if (const long err = in.Read(buffer, sizeof buffer, got))
      return Problem("cannot read", source, err);
    if (got == 0) return {};
    copied += got;
    if (copied > limit) return source + " is larger than " + std::to_string(limit) + " bytes";
    if (const long err = target.Write(buffer, got))
      return "cannot write a copy of " + source + " (error " + std::to_string(err) + ")";
  }
}

std::string CopyToNew(const std::string& source, std::uint64_t limit, const std::string& target) {
  pf::File out;
  if (const long err = pf::File::Open(target, pf::Access::Write, pf::Share::None,
                                      pf::Disposition::CreateNew, out, pf::Links::DontFollow))
    return Problem("cannot create", target, err);
  std::string failed = CopyInto(source, limit, out);
  if (failed.empty()) {
    if (const long err = out.Sync()) failed = Problem("cannot write", target, err);
    if (const long err = out.Close(); err && failed.empty())
      failed = Problem("cannot write", target, err);
  }
  if (!failed.empty()) {
    out.Close();
    pf::DeleteFile(target);
  }
  return failed;
}

std::string WriteNew(const std::string& path, std::string_view data) {
  pf::File out;
  if (const long err = pf::File::Open(path, pf::Access::Write, pf::Share::None,
                                      pf::Disposition::CreateNew, out, pf::Links::DontFollow))
    return Problem("cannot create", path, err);
  long err = out.Write(data.data(), data.size());
  if (!err) err = out.Sync();
  if (const long closed = out.Close(); !err) err = closed;
  if (err) {
    pf::DeleteFile(path);
    return Problem("cannot write", path, err);
  }
  return {};
}

}  // namespace faxmail::sim
