// A driver for the fuzz target without libFuzzer: runs every file of the given corpus folders,
// then a bounded number of inputs made from them by random mutations (seeded, so a failure can
// be repeated), each through LLVMFuzzerTestOneInput.
//
//   decode_fuzz_driver [-n COUNT] [-s SEED] [-o FAILED_INPUT] FOLDER...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr std::size_t kMaxInput = 64 * 1024;

const char* const kTokens[] = {
    "\n",
    "\n\n",
    "\n--",
    "--",
    "\n--b\n",
    "\n--b--\n",
    "=",
    "=\n",
    "=3D",
    "\"",
    "(",
    ")",
    "\\",
    ";",
    ":",
    " ",
    "\t",
    "\r\n",
    "\0",
    "Content-Type: multipart/mixed; boundary=b\n",
    "Content-Type: message/rfc822\n\n",
    "Content-Type: multipart/digest; boundary=d\n\n--d\n\n",
    "Content-Type: message/partial; id=x; number=1; total=2\n\n",
    "Content-Type: message/partial; id=x; number=2\n\n",
    "Content-Transfer-Encoding: base64\n",
    "Content-Transfer-Encoding: quoted-printable\n",
    "Content-Disposition: attachment; filename=\"a b.txt\"\n",
    "Content-MD5: 1B2M2Y8AsgTpgAmY7PhCfg==\n",
    "From: a@b\n",
    "To: c@d\n",
    "Subject: s\n",
    "text/plain",
    "text/html",
    "boundary=",
    "name=",
    "filename=",
    "QUJD",
    "QQ==",
    "multipart/appledouble",
    "filename*=UTF-8''%E2%82%AC",
    "filename*0*=",
    "filename*1=",
    "name*=",
    "name*63*=",
    "%",
    "%D0%94",
    "'",
    "Content-Disposition: attachment\n",
};

class Random {
 public:
  explicit Random(std::uint64_t seed) : m_state(seed * 2654435761u + 1) {}
  std::uint64_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return m_state;
  }
  std::size_t Below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(Next() % n); }

 private:
  std::uint64_t m_state;
};

std::string Mutate(const std::vector<std::string>& corpus, Random& random) {
  std::string s = corpus[random.Below(corpus.size())];
  const std::size_t rounds = 1 + random.Below(6);
  for (std::size_t r = 0; r < rounds; ++r) {
    const std::size_t at = random.Below(s.size() + 1);
    switch (random.Below(6)) {
      case 0:  // a byte changed
        if (!s.empty()) s[random.Below(s.size())] = static_cast<char>(random.Next());
        break;
      case 1: {  // a token inserted
        const char* token = kTokens[random.Below(std::size(kTokens))];
        s.insert(at, token, token == kTokens[18] ? 1 : std::strlen(token));
        break;
      }
      case 2:  // a range deleted
        s.erase(at, random.Below(64));
        break;
      case 3: {  // a range repeated
        const std::string piece = s.substr(at, random.Below(200));
        for (std::size_t i = 1 + random.Below(4); i > 0; --i) s.insert(at, piece);
        break;
      }
      case 4: {  // spliced with another input
        const std::string& other = corpus[random.Below(corpus.size())];
        s = s.substr(0, at) + other.substr(random.Below(other.size() + 1));
        break;
      }
      default:  // a line end turned into another
        if (const auto lf = s.find('\n', at); lf != std::string::npos) s.insert(lf, "\n");
        break;
    }
    if (s.size() > kMaxInput) s.resize(kMaxInput);
  }
  return s;
}

void Save(const std::string& path, const std::string& input) {
  if (path.empty()) return;
  std::ofstream(path, std::ios::binary) << input;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 1000;
  std::uint64_t seed = 1;
  std::string failedPath;
  std::vector<std::string> corpus;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-n" && i + 1 < argc) {
      count = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "-s" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "-o" && i + 1 < argc) {
      failedPath = argv[++i];
    } else {
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
  }
  if (corpus.empty()) {
    std::fprintf(stderr, "no corpus files\n");
    return 2;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  for (const std::string& input : corpus) {
    Save(failedPath, input);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  Random random(seed);
  for (std::size_t n = 0; n < count; ++n) {
    const std::string input = Mutate(corpus, random);
    Save(failedPath, input);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  if (!failedPath.empty()) std::filesystem::remove(failedPath);
  std::printf("%zu corpus inputs and %zu mutations decoded\n", corpus.size(), count);
  return 0;
}
