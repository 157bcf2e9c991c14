// Fuzz target of the stand-in's envelope parser: libFuzzer's entry point (clang
// -fsanitize=fuzzer), also driven by tests/fuzz/support/fuzz_driver.cpp under GCC.
//
// Each input is parsed. A refusal is one printable line. An envelope that is taken names only
// plain files of OUT, within the limits, every recipient with a sender and an address. The
// same input with LF in place of every CR LF gives the same outcome (the parser takes both).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/faxmailsim/envelope.h"

namespace {

using namespace faxmail::sim;

[[noreturn]] void Finding(const char* what, const std::string& detail) {
  std::fprintf(stderr, "envelope_fuzz: %s: %s\n", what, detail.c_str());
  std::abort();
}

std::string Outcome(const Envelope& e, const std::string& refusal) {
  if (!refusal.empty()) return "refused: " + refusal;
  std::string text = e.bodyName + "\n";
  for (const Recipient& r : e.recipients)
    text += r.line + "|" + r.address + "|" + r.sender + "|" + r.subject + "\n";
  for (const Attachment& a : e.attachments) text += a.shownName + ":" + a.storedName + "\n";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Envelope envelope;
  const std::string refusal = ParseEnvelope(input, envelope);
  for (const char c : refusal)
    if (c < 0x20 || c >= 0x7f) Finding("refusal not printable", refusal);
  if (refusal.empty()) {
    if (!IsPlainFileName(envelope.bodyName)) Finding("body name", envelope.bodyName);
    if (envelope.recipients.empty() || envelope.recipients.size() > kMaxRecipients)
      Finding("recipients", std::to_string(envelope.recipients.size()));
    if (envelope.attachments.size() > kMaxAttachments)
      Finding("attachments", std::to_string(envelope.attachments.size()));
    for (const Attachment& a : envelope.attachments)
      if (!IsPlainFileName(a.storedName)) Finding("stored name", a.storedName);
    for (const Recipient& r : envelope.recipients)
      if (r.sender.empty() || r.address.empty()) Finding("recipient", r.line);
  }
  // (A line ending in two CRs loses one either way, so it is left out of the comparison.)
  if (size <= kMaxEnvelopeBytes && input.find("\r\r\n") == std::string::npos) {
    std::string lf;
    for (std::size_t i = 0; i < input.size(); ++i)
      if (!(input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n')) lf += input[i];
    Envelope other;
    const std::string otherRefusal = ParseEnvelope(lf, other);
    if (Outcome(envelope, refusal) != Outcome(other, otherRefusal))
      Finding("LF and CR LF differ",
              Outcome(envelope, refusal) + " / " + Outcome(other, otherRefusal));
  }
  return 0;
}
