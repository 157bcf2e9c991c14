// Fuzz target of the message decoder: libFuzzer's entry point (clang -fsanitize=fuzzer), also
// driven by fuzz_driver.cpp under GCC.
//
// Each input is decoded as a whole message and again read in pieces of a size taken from the
// input; both runs must hand the same calls to the sink and write the same console texts
// (a parser must not depend on how its input arrives). The header value parsers and the
// recipient and subject parsers run on the input too. Split-message parts go to a private TMP
// folder that is emptied before each run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/decode/decode_message.h"
#include "gateway/decode/mime_headers.h"
#include "gateway/decode/recipients.h"
#include "tests/unit/decode/decode_test_support.h"

namespace {

using namespace faxmail::decode;

std::string& TmpFolder() {
  static std::string folder;
  return folder;
}

std::string Run(std::string_view message, std::size_t chunk) {
  std::error_code ec;
  std::filesystem::remove_all(TmpFolder() + "/parts", ec);
  return test::DecodeTranscript(message, chunk);
}

void ParseValues(std::string_view value) {
  (void)SkipWhitespace(value, 0);
  (void)ParseEncoding(value);
  const ContentType type = ParseContentType(value);
  for (const char* name : {"boundary", "name", "id", "number", "total", "charset"})
    (void)GetParam(type.params, name);
  (void)GetDispositionFilename(value);
  (void)HeaderField(value);
}

// The recipient and subject parsers of the envelope lines: bounded, and decoding never makes
// a subject longer (every encoded word is shorter than its text).
void ParseRecipientValues(std::string_view value) {
  std::string subject(value);
  DecodeEncodedWords(subject);
  if (subject.size() > value.size()) std::abort();
  std::vector<std::string> recipients;
  MatchBudget budget;
  ExtractRecipients(value, {}, recipients, &budget);
  (void)FormatEnvelopeLines(std::string(value), recipients, std::string(value));
}

void Silent(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::string pattern = (std::filesystem::temp_directory_path() / "faxmail-fuzz-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  TmpFolder() = pattern;
  ::setenv("TMP", pattern.c_str(), 1);
  SetConsoleWriters({Silent, Silent});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ParseValues(input);
  ParseRecipientValues(input);
  const std::string whole = Run(input, 0);
  const std::size_t chunk = size == 0 ? 1 : 1 + static_cast<unsigned char>(input[0]) % 80;
  const std::string split = Run(input, chunk);
  if (whole != split) {
    std::fprintf(stderr, "pieces of %zu bytes decode differently:\n--- whole\n%s\n--- split\n%s\n",
                 chunk, whole.c_str(), split.c_str());
    std::abort();
  }
  return 0;
}
