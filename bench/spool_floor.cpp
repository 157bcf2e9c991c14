// The least any receiver can do on this machine and keep the receiver's promises: a measuring
// stick for bench/run-all, set beside smtp-sink, Postfix and faxmailgw in the same run.
//
//   spool_floor PORT FOLDER
//
// Listens on 127.0.0.1:PORT and takes SMTP mail (HELO or EHLO, MAIL, RCPT, DATA, RSET, NOOP,
// QUIT; nothing checked). Each mail is kept in FOLDER/OUT the way the gateway promises, with
// no work beyond it:
//   before the 250  the raw message, with its recipients, is written under a scratch name,
//                   synced, and renamed to "<n>.cqx"; the folder is synced;
//   after the 250   "ENV<n>.bdy" (the text after the header) and "ENV<n>" (sender, recipients
//                   and the body's name) are written and synced; the raw file is renamed
//                   "<n>.debug" (kept, as the gateway keeps it by default, and so that a
//                   restart would not make the envelope twice), the folder synced, the
//                   envelope renamed "ENV<n>.tmp" (its ready name, last) and the folder synced.
// That is three new files, three data syncs and three renames a mail; the folder syncs are
// shared by the sessions that need one at the same time, as the gateway shares them. No file
// is removed, so that no later file pays for a removal. No MIME is read, nothing is logged,
// no counter is kept on disk: the gateway does all of that too, so it cannot be faster than
// this, and a rate this program does not reach is out of reach for the gateway on the machine.
//
// It calls the system directly, not the gateway's platform layer, so that what it measures is
// the kernel's and the disk's share alone. SIGINT or SIGTERM ends it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/group_commit.h"

namespace {

// Sessions served at once; smtp-source's runs use up to 20, the rest wait in the backlog.
constexpr int kWorkers = 64;
constexpr int kBacklog = 256;
// Longest command line and largest message kept: beyond either the session is refused, so a
// stray client cannot make the stick grow without bound.
constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxMessage = 64 * 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;

// A descriptor closed when it goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      m_fd = other.m_fd;
      other.m_fd = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int Get() const noexcept { return m_fd; }
  bool Valid() const noexcept { return m_fd >= 0; }
  void Reset() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Writes a new file whole and syncs its data (a new file's size and blocks with it).
bool WriteSynced(const std::string& path, std::string_view first, std::string_view second = {}) {
  Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  return file.Valid() && WriteAll(file.Get(), first) && WriteAll(file.Get(), second) &&
         ::fdatasync(file.Get()) == 0;
}

class Spool {
 public:
  explicit Spool(std::string out) : m_out(std::move(out)) {
    m_folder = Fd(::open(m_out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  bool Valid() const { return m_folder.Valid(); }

  // Before the 250: true when the message is durable under its final name.
  bool Commit(std::uint64_t number, const std::string& recipients, std::string_view message) {
    const std::string scratch = m_out + "/" + std::to_string(number) + ".part";
    const std::string raw = m_out + "/" + std::to_string(number) + ".cqx";
    return WriteSynced(scratch, recipients, message) &&
           ::rename(scratch.c_str(), raw.c_str()) == 0 && SyncFolder();
  }

  // After the 250: the envelope and its body, ready last.
  bool Decode(std::uint64_t number, const std::string& from, const std::string& recipients,
              std::string_view message) {
    const std::string env = "ENV" + std::to_string(number);
    const auto headerEnd = message.find("\r\n\r\n");
    const std::string_view body =
        headerEnd == std::string_view::npos ? std::string_view() : message.substr(headerEnd + 4);
    const std::string envelope =
        "FROM: " + from + "\nTO: " + recipients + "\nBEGIN BODY\n<<" + env + ".bdy>>\nEND BODY\n";
    const std::string raw = m_out + "/" + std::to_string(number);
    return WriteSynced(m_out + "/" + env + ".bdy", body) &&
           WriteSynced(m_out + "/" + env, envelope) &&
           ::rename((raw + ".cqx").c_str(), (raw + ".debug").c_str()) == 0 && SyncFolder() &&
           ::rename((m_out + "/" + env).c_str(), (m_out + "/" + env + ".tmp").c_str()) == 0 &&
           SyncFolder();
  }

 private:
  bool SyncFolder() {
    return m_sync.Run([this] { return ::fsync(m_folder.Get()) == 0 ? 0L : long{errno}; }) == 0;
  }

  std::string m_out;
  Fd m_folder;
  faxmail::GroupCommit m_sync;
};

// One SMTP session on a connected socket.
class Session {
 public:
  Session(int socket, Spool& spool, std::atomic<std::uint64_t>& numbers)
      : m_socket(socket), m_spool(spool), m_numbers(numbers) {}

  void Run() {
    if (!Send("220 floor ESMTP\r\n")) return;
    std::string line;
    while (ReadLine(line)) {
      const std::string verb = Upper(line.substr(0, 4));
      bool ok = true;
      if (verb == "HELO" || verb == "EHLO") {
        ok = Send("250 floor\r\n");
      } else if (verb == "MAIL") {
        m_from = line.substr(std::min<std::size_t>(line.size(), 10));
        m_recipients.clear();
        ok = Send("250 OK\r\n");
      } else if (verb == "RCPT") {
        m_recipients += line.substr(std::min<std::size_t>(line.size(), 8)) + "\n";
        ok = Send("250 OK\r\n");
      } else if (verb == "DATA") {
        ok = Data();
      } else if (verb == "RSET" || verb == "NOOP") {
        m_recipients.clear();
        ok = Send("250 OK\r\n");
      } else if (verb == "QUIT") {
        Send("221 Bye\r\n");
        return;
      } else {
        ok = Send("500 Unknown command\r\n");
      }
      if (!ok) return;
    }
  }

 private:
  static std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return text;
  }

  bool Send(std::string_view text) {
    while (!text.empty()) {
      const ssize_t n = ::send(m_socket.Get(), text.data(), text.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  bool Fill() {
    if (m_buffer.size() > kMaxMessage + kMaxLine) return false;
    char chunk[kReadChunk];
    for (;;) {
      const ssize_t n = ::recv(m_socket.Get(), chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      m_buffer.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
  }

  bool ReadLine(std::string& line) {
    for (;;) {
      const auto end = m_buffer.find("\r\n", m_start);
      if (end != std::string::npos) {
        line.assign(m_buffer, m_start, end - m_start);
        m_start = end + 2;
        return true;
      }
      if (m_buffer.size() - m_start > kMaxLine) return false;
      Compact();
      if (!Fill()) return false;
    }
  }

  void Compact() {
    m_buffer.erase(0, m_start);
    m_start = 0;
  }

  bool Data() {
    if (m_recipients.empty()) return Send("503 No recipients\r\n");
    if (!Send("354 Go ahead\r\n")) return false;
    Compact();
    // The message ends with a line holding a single dot; the CR LF before it is the message's.
    std::size_t searched = 0;
    std::size_t end = std::string::npos;
    if (m_buffer.starts_with(".\r\n")) end = 0;
    while (end == std::string::npos) {
      const auto at = m_buffer.find("\r\n.\r\n", searched);
      if (at != std::string::npos) {
        end = at + 2;
        break;
      }
      searched = m_buffer.size() < 4 ? 0 : m_buffer.size() - 4;
      if (m_buffer.size() > kMaxMessage) {
        Send("552 Too big\r\n");
        return false;
      }
      if (!Fill()) return false;
    }
    const std::string_view message(m_buffer.data(), end);
    const std::uint64_t number = ++m_numbers;
    bool ok = m_spool.Commit(number, m_recipients, message);
    ok = Send(ok ? "250 OK\r\n" : "452 Not stored\r\n") && ok &&
         m_spool.Decode(number, m_from, m_recipients, message);
    m_start = end + 3;
    m_recipients.clear();
    return ok;
  }

  Fd m_socket;
  Spool& m_spool;
  std::atomic<std::uint64_t>& m_numbers;
  std::string m_buffer;
  std::size_t m_start = 0;
  std::string m_from;
  std::string m_recipients;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: spool_floor PORT FOLDER\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string out = std::string(argv[2]) + "/OUT";
  ::mkdir(argv[2], 0755);
  ::mkdir(out.c_str(), 0755);
  Spool spool(out);
  if (port <= 0 || port > 65535 || !spool.Valid()) {
    std::fprintf(stderr, "spool_floor: bad port or folder %s\n", out.c_str());
    return 2;
  }

  // The signals are taken by sigwait below, not by any thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int yes = 1;
  ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!listener.Valid() ||
      ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.Get(), kBacklog) != 0) {
    std::fprintf(stderr, "spool_floor: cannot listen on port %d: %s\n", port, std::strerror(errno));
    return 1;
  }

  std::atomic<std::uint64_t> numbers{0};
  {
    std::vector<std::jthread> workers;
    for (int i = 0; i < kWorkers; ++i)
      workers.emplace_back([&] {
        for (;;) {
          const int socket = ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
          if (socket < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // the listener was shut down
          }
          Session(socket, spool, numbers).Run();
        }
      });
    int signal = 0;
    sigwait(&stop, &signal);
    // Wakes every worker blocked in accept; sessions still going end with their clients.
    ::shutdown(listener.Get(), SHUT_RDWR);
  }
  std::printf("spool_floor: %llu mails\n", static_cast<unsigned long long>(numbers.load()));
  return 0;
}
