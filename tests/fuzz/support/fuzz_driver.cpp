// A driver for a fuzz target without libFuzzer, for any target: runs every file of the given
// corpus folders, then a bounded number of inputs made from them by random mutations (seeded,
// so a failure can be repeated), each through LLVMFuzzerTestOneInput. Mutations insert tokens
// of a dictionary in libFuzzer's format (-x), the same file libFuzzer takes with -dict=.
//
//   fuzz_driver [-n COUNT] [-s SEED] [-x DICTIONARY] [-o FAILED_INPUT] FOLDER...
//
// Exits 0 when every input ran, 2 for bad arguments or an empty corpus; a finding aborts in the
// target, and -o then holds the input that did it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Mutations stop growing an input here: the targets' own limits lie far above.
constexpr std::size_t kMaxInput = 64 * 1024;
// A corpus file larger than this is passed over rather than read whole.
constexpr std::uintmax_t kMaxCorpusFile = 1024 * 1024;

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

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One dictionary line: [name=]"text" with \\, \" and \xNN escapes; nothing for a blank line or
// a # comment.
std::optional<std::string> DictionaryEntry(std::string_view line, bool& bad) {
  const std::size_t open = line.find('"');
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string_view::npos || line[first] == '#') return std::nullopt;
  const std::size_t close = line.find_last_of('"');
  if (open == std::string_view::npos || close <= open) {
    bad = true;
    return std::nullopt;
  }
  std::string out;
  for (std::size_t i = open + 1; i < close; ++i) {
    if (line[i] != '\\') {
      out += line[i];
    } else if (i + 3 < close && line[i + 1] == 'x' && HexValue(line[i + 2]) >= 0 &&
               HexValue(line[i + 3]) >= 0) {
      out += static_cast<char>(HexValue(line[i + 2]) * 16 + HexValue(line[i + 3]));
      i += 3;
    } else if (i + 1 < close) {
      out += line[++i];
    } else {
      bad = true;
      return std::nullopt;
    }
  }
  return out;
}

bool ReadDictionary(const std::string& path, std::vector<std::string>& tokens) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    bool bad = false;
    if (auto token = DictionaryEntry(line, bad)) tokens.push_back(std::move(*token));
    if (bad) return false;
  }
  return true;
}

std::string Mutate(const std::vector<std::string>& corpus, const std::vector<std::string>& tokens,
                   Random& random) {
  std::string s = corpus[random.Below(corpus.size())];
  const std::size_t rounds = 1 + random.Below(6);
  for (std::size_t r = 0; r < rounds; ++r) {
    const std::size_t at = random.Below(s.size() + 1);
    switch (random.Below(6)) {
      case 0:  // a byte changed
        if (!s.empty()) s[random.Below(s.size())] = static_cast<char>(random.Next());
        break;
      case 1:  // a token inserted
        if (!tokens.empty()) s.insert(at, tokens[random.Below(tokens.size())]);
        break;
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
      default:  // a line end doubled
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

void RunOne(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 1000;
  std::uint64_t seed = 1;
  std::string failedPath;
  std::vector<std::string> corpus;
  std::vector<std::string> tokens;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-n" && i + 1 < argc) {
      count = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "-s" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "-o" && i + 1 < argc) {
      failedPath = argv[++i];
    } else if (arg == "-x" && i + 1 < argc) {
      if (!ReadDictionary(argv[++i], tokens)) {
        std::fprintf(stderr, "cannot read the dictionary %s\n", argv[i]);
        return 2;
      }
    } else {
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
        if (!entry.is_regular_file() || entry.file_size(ec) > kMaxCorpusFile) continue;
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
    RunOne(input);
  }
  Random random(seed);
  for (std::size_t n = 0; n < count; ++n) {
    const std::string input = Mutate(corpus, tokens, random);
    Save(failedPath, input);
    RunOne(input);
  }
  if (!failedPath.empty()) std::filesystem::remove(failedPath);
  std::printf("%zu corpus inputs, %zu tokens and %zu mutations run\n", corpus.size(), tokens.size(),
              count);
  return 0;
}
