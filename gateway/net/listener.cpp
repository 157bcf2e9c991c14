#include "gateway/net/listener.h"

#include <chrono>
#include <utility>

#include "gateway/service/log.h"
#include "platform/process.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "C_WINSOC";

// Connection threads run a whole session, message decoding included, on their own stack.
// The system's stack for them has always been a 1 MiB reservation (of which only 4096 bytes
// are committed up front); the sanitizers need several times as much.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kConnectionStackSize = 8u << 20;
#else
constexpr std::size_t kConnectionStackSize = 1u << 20;
#endif

// How long Shutdown waits for the accept loop before it says so in the log; and how often it
// shuts down the sockets of connections that added themselves while it waits.
constexpr auto kAcceptThreadWait = std::chrono::milliseconds(1500);
constexpr auto kConnectionWakeInterval = std::chrono::milliseconds(50);

}  // namespace

C_WINSOCK::C_WINSOCK() = default;

C_WINSOCK::~C_WINSOCK() {
  Shutdown();
  for (; m_socketStartups > 0; --m_socketStartups) platform::SocketCleanup();
}

void C_WINSOCK::ReleaseConnection(std::unique_ptr<C_WSTHREAD> connection) { connection.reset(); }

int C_WINSOCK::ConnectToPort(std::uint16_t port, int backlog, std::uint16_t family,
                             std::uint32_t address) {
  if (platform::SocketStartup() != platform::kErrorSuccess) {
    LogMessage("ConnectToPort: WSAstartup is failed.", kTag, __LINE__);
    return 1;
  }
  ++m_socketStartups;
  m_listenAddress = platform::SocketAddress{};
  m_listenAddress.family = family;
  m_listenAddress.port = platform::HostToNet16(port);
  m_listenAddress.address = platform::HostToNet32(address);

  if (platform::Socket::Create(m_protocol, m_listening) != platform::kErrorSuccess) {
    LogMessage("ConnectToPort : unable to create the socket.", kTag, __LINE__);
    LogSocketError();
    return 2;
  }
  if (m_listening.Bind(m_listenAddress) != platform::kErrorSuccess) {
    LogMessage("ConnectToPort : unable to bind to the required address.", kTag, __LINE__);
    LogSocketError();
    return 3;
  }
  if (m_listening.Listen(backlog) != platform::kErrorSuccess) {
    LogMessage("ConnectToPort : unable listen on the socket.", kTag, __LINE__);
    LogSocketError();
    return 4;
  }
  return 0;
}

int C_WINSOCK::ConnectToPort(std::uint16_t port, int backlog) {
  return ConnectToPort(port, backlog, platform::kAfInet, platform::kInAddrAny);
}

int C_WINSOCK::StartAcceptThread() {
  if (m_accepting.load() != 0) return 0;
  m_stopFlag.store(0);
  // Accepting is set before the thread starts: a loop that ends at once (no listening socket)
  // clears it again, and must not find it set afterwards.
  m_accepting.store(1);
  {
    std::lock_guard lock(m_threadsLock);
    m_acceptLoopRunning = true;
  }
  platform::Thread thread;
  if (platform::Thread::Start([this] { AcceptConnections(this); }, 0, thread) !=
      platform::kErrorSuccess) {
    AcceptLoopEnded();
    m_accepting.store(0);
    LogMessage("Unable to create Thread for accepting for the connections.", kTag, __LINE__);
    return 1;
  }
  m_AcceptThread = std::move(thread);
  return 0;
}

int C_WINSOCK::SetMaxConnections(int maximum) {
  if (maximum < 1 || maximum > kMaxConnectionsCeiling) return -1;
  m_maxConnections.store(maximum);
  return 0;
}

platform::SocketAddress C_WINSOCK::BoundAddress() const {
  platform::SocketAddress address{};
  m_listening.LocalAddress(address);
  return address;
}

void C_WINSOCK::AddConnection(C_WSTHREAD* connection, platform::Thread::Id thread,
                              platform::Socket* socket) {
  std::lock_guard lock(m_listLock);
  m_connections.push_front(ActiveConnection{connection, thread, socket});
  m_activeCount.fetch_add(1);
}

bool C_WINSOCK::RemoveConnection(platform::Thread::Id thread) {
  std::lock_guard lock(m_listLock);
  for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
    if (it->thread == thread) {
      m_connections.erase(it);
      m_activeCount.fetch_sub(1);
      return true;
    }
  }
  return false;
}

bool C_WINSOCK::SessionEnded() {
  int closing = m_closing.load();
  do {
    if (closing >= kMaxClosingThreads) return false;
  } while (!m_closing.compare_exchange_weak(closing, closing + 1));
  m_admitted.fetch_sub(1);
  return true;
}

void C_WINSOCK::ThreadStarted() {
  std::lock_guard lock(m_threadsLock);
  ++m_liveConnectionThreads;
}

void C_WINSOCK::ThreadEnded() {
  // The last touch of the listener by a connection thread: Shutdown may destroy it as soon as
  // the lock is released.
  std::lock_guard lock(m_threadsLock);
  --m_liveConnectionThreads;
  m_threadsChanged.notify_all();
}

void C_WINSOCK::AcceptLoopEnded() {
  std::lock_guard lock(m_threadsLock);
  m_acceptLoopRunning = false;
  m_threadsChanged.notify_all();
}

void C_WINSOCK::Shutdown() {
  m_stopFlag.store(1);
  // Shutting the listening socket down makes a blocked accept return at once.
  if (m_listening.IsValid()) m_listening.Shutdown();
  std::unique_lock threads(m_threadsLock);
  if (!m_threadsChanged.wait_for(threads, kAcceptThreadWait,
                                 [this] { return !m_acceptLoopRunning; })) {
    LogMessage("AcceptConnections: still waiting for the accept thread to end", kTag, __LINE__);
    // A thread that outlived its listener would use freed memory: keep waiting.
    m_threadsChanged.wait(threads, [this] { return !m_acceptLoopRunning; });
  }
  while (m_liveConnectionThreads > 0) {
    threads.unlock();
    {
      std::lock_guard list(m_listLock);
      for (const ActiveConnection& active : m_connections) active.socket->Shutdown();
    }
    threads.lock();
    m_threadsChanged.wait_for(threads, kConnectionWakeInterval,
                              [this] { return m_liveConnectionThreads == 0; });
  }
  threads.unlock();
  m_AcceptThread.Join();
}

void AcceptConnections(C_WINSOCK* listener) {
  for (;;) {
    LogMessage("AcceptConnections: waiting for next connection request", kTag, __LINE__);
    platform::Socket client;
    platform::SocketAddress peer{};
    const bool accepted = listener->m_listening.Accept(client, peer) == platform::kErrorSuccess;
    if (!accepted) LogSocketError();

    if (listener->m_stopFlag.load() == 1) {
      LogMessage("AcceptConnections: about to shut down the connection", kTag, __LINE__);
      if (accepted) {
        LogMessage("AcceptConnections: invalid client - so shut down the connection", kTag,
                   __LINE__);
        client.Shutdown();
        client.Close();
      }
      listener->m_accepting.store(0);
      listener->m_stopFlag.store(0);
      LogMessage("AcceptConnections: closed the connection & exit the accept thread", kTag,
                 __LINE__);
      break;
    }

    LogMessage("AcceptConnections: Got a connect request", kTag, __LINE__);
    if (!accepted) {
      LogMessage("AcceptConnections: invalid client, so exit the accept thread", kTag, __LINE__);
      listener->m_accepting.store(0);
      break;
    }

    auto entry = std::make_shared<ConnectionEntry>();
    entry->socket = std::move(client);
    entry->listening = &listener->m_listening;
    entry->peer = peer;
    entry->owner = listener;
    // Counted here, when accepted, not when its thread gets going: a burst of connections is
    // never served beyond the maximum. Only this thread adds to the counts.
    entry->overLimit = listener->m_admitted.load() >= listener->m_maxConnections.load();
    if (entry->overLimit && listener->m_refusing.load() >= C_WINSOCK::kMaxRefusingThreads) {
      // A flood of connections must not grow threads without bound: close at once.
      LogMessage("AcceptConnections: too many connections being refused, closed at once", kTag,
                 __LINE__);
      entry->socket.Shutdown();
      entry->socket.Close();
      continue;
    }
    (entry->overLimit ? listener->m_refusing : listener->m_admitted).fetch_add(1);

    listener->ThreadStarted();
    platform::Thread thread;
    // Sessions wait on the peer and the disk in turn and share the work lock: one that wakes
    // does not set aside the one that holds it.
    if (platform::Thread::Start([entry] { ClientThreadEntry(entry); }, kConnectionStackSize, thread,
                                platform::Thread::Scheduling::kThroughput) !=
        platform::kErrorSuccess) {
      LogMessage("AcceptConnections: unable to create thread for the new client.", kTag, __LINE__);
      entry->socket.Shutdown();
      entry->socket.Close();
      (entry->overLimit ? listener->m_refusing : listener->m_admitted).fetch_sub(1);
      listener->ThreadEnded();
      continue;
    }
    // The thread removes itself from the list by its own id, and closes the handle that is
    // stored here: it waits until the handle is in place.
    entry->thread = std::move(thread);
    entry->resume.count_down();
  }
  listener->AcceptLoopEnded();
}

int ClientThreadEntry(const std::shared_ptr<ConnectionEntry>& entry) {
  entry->resume.wait();
  C_WINSOCK* const owner = entry->owner;
  const platform::Thread::Id self = platform::Thread::CurrentId();

  // Where this connection stands under the limit when its thread ends.
  auto place = entry->overLimit ? C_WSTHREAD::Place::Refused : C_WSTHREAD::Place::Admitted;
  if (std::unique_ptr<C_WSTHREAD> connection = owner->CreateConnection()) {
    connection->Attach(entry->socket, entry->peer, entry->listening, owner);
    connection->m_place = place;
    const std::uint32_t timeout = owner->m_timeoutMs.load();
    entry->socket.SetReceiveTimeout(timeout);
    entry->socket.SetSendTimeout(timeout);
    owner->AddConnection(connection.get(), self, &entry->socket);

    if (entry->overLimit) {
      LogMessage("ClientThreadEntry : exceeded the max. no. of connections.", kTag, __LINE__);
      connection->Refuse();
    } else {
      connection->Run();
      // Before the socket is closed: the client sees the end only once its place is free.
      connection->EndOfSession();
    }
    place = connection->m_place;

    if (!owner->RemoveConnection(self)) {
      LogMessage("ClientThreadEntry : Thread Release Error", kTag, __LINE__);
      platform::ShowMessageBox("Thread Release Error", "Error");
    }
    owner->ReleaseConnection(std::move(connection));
    LogMessage("ClientThreadEntry : Thread instance released.", kTag, __LINE__);
  }

  entry->socket.Shutdown();
  entry->socket.Close();
  entry->thread.Detach();
  switch (place) {
    case C_WSTHREAD::Place::Refused: owner->m_refusing.fetch_sub(1); break;
    case C_WSTHREAD::Place::Admitted: owner->m_admitted.fetch_sub(1); break;
    case C_WSTHREAD::Place::Closing: owner->m_closing.fetch_sub(1); break;
  }
  owner->ThreadEnded();
  return 1;
}

}  // namespace faxmail
