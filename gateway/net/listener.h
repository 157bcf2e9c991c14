// C_WINSOCK: a small TCP server. It owns the listening socket, runs the accept loop on a
// thread of its own and serves each accepted connection on a new thread with a connection
// object (C_WSTHREAD or derived) that the concrete server creates.
//
// A concrete server derives from C_WINSOCK and supplies
//   - CreateConnection(): a new, default-constructed connection object, or none (the
//     connection is then closed without a reply);
//   - ReleaseConnection(object): destroys an object made by CreateConnection (the default
//     simply lets it go).
// Both are called on the connection's own thread. The connection thread: creates the object,
// attaches the socket, sets send and receive time-outs of 30 s, adds itself to the list of
// active connections, calls Refuse() when the active count was at or above the maximum (20)
// when the connection was accepted, else Run(), removes itself from the list, releases the
// object, then shuts the socket down and closes it. A connection is counted by the accept loop
// when it is accepted, so a burst is never served beyond the maximum, and uncounted as soon as
// its session has ended, before its last reply (C_WSTHREAD::EndOfSession), so a client never
// finds its own ended session still counted; at most
// kMaxRefusingThreads connections are refused on threads at once, further ones are closed by
// the accept loop itself without a reply.
//
// Life: construct -> ConnectToPort -> StartAcceptThread -> the accept loop runs until an
// accept fails (for good: no further connection is accepted) or the stop flag is found set
// when an accept returns. The service stop sets the stop flag (SetStopFlag) and lets go of the
// accept thread (ReleaseAcceptThread) without waiting. Every step logs under "C_WINSOC".
//
// Locks: the list lock guards the list and the count; the work lock is not used here, it is
// the concrete server's (WorkLock). A derived class that can be destroyed while connections
// are served must call Shutdown() first in its own destructor, since the connection threads
// call its virtual operations.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <latch>
#include <list>
#include <memory>
#include <mutex>

#include "gateway/net/connection.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace faxmail {

// An entry of the listener's list: a connection being served.
struct ActiveConnection {
  C_WSTHREAD* connection = nullptr;    // owned by its connection thread
  platform::Thread::Id thread = 0;     // the connection thread
  platform::Socket* socket = nullptr;  // the accepted socket, owned by the thread's entry
};

struct ConnectionEntry;

class C_WINSOCK {
 public:
  static constexpr int kDefaultMaxConnections = 20;
  static constexpr int kMaxConnectionsCeiling = 32000;
  static constexpr int kDefaultBacklog = 5;
  // Connections refused on threads of their own at once; beyond, the accept loop closes them.
  static constexpr int kMaxRefusingThreads = 20;
  // Sessions that have given their place back and may still be sending their last reply (each
  // for at most the send time-out); beyond, a session keeps its place until its thread ends,
  // so that connection threads stay bounded.
  static constexpr int kMaxClosingThreads = 20;
  // Send and receive time-out of every accepted connection.
  static constexpr std::uint32_t kConnectionTimeoutMs = 30000;

  C_WINSOCK();
  virtual ~C_WINSOCK();
  C_WINSOCK(const C_WINSOCK&) = delete;
  C_WINSOCK& operator=(const C_WINSOCK&) = delete;

  virtual std::unique_ptr<C_WSTHREAD> CreateConnection() = 0;
  virtual void ReleaseConnection(std::unique_ptr<C_WSTHREAD> connection);

  // Opens the listening socket: 0 listening; 1 the socket library could not be started; 2 no
  // socket; 3 bind failed (port taken, say); 4 listen failed. Each failure is logged with its
  // socket error. No socket option is set (no address reuse). address is in host order.
  int ConnectToPort(std::uint16_t port, int backlog, std::uint16_t family, std::uint32_t address);
  // Any IPv4 address of the machine.
  int ConnectToPort(std::uint16_t port, int backlog = kDefaultBacklog);

  // 0 when the accept thread runs (or already ran), 1 when it could not be started.
  int StartAcceptThread();

  // The service stop: the accept loop ends when its current accept returns.
  void SetStopFlag() noexcept { m_stopFlag.store(1); }
  int StopFlag() const noexcept { return m_stopFlag.load(); }
  // Lets go of the accept thread without waiting for it.
  void ReleaseAcceptThread() { m_AcceptThread.Detach(); }
  // Ends all activity for good: sets the stop flag, wakes the accept loop and waits for it,
  // wakes every connection (their sockets are shut down) and waits for every connection thread
  // to end. Safe to call more than once; the destructor calls it.
  void Shutdown();

  // 1 to kMaxConnectionsCeiling: 0 and the new maximum in force; anything else: -1.
  int SetMaxConnections(int maximum);
  int MaxConnections() const noexcept { return m_maxConnections.load(); }
  int ActiveCount() const noexcept { return m_activeCount.load(); }
  bool IsAccepting() const noexcept { return m_accepting.load() != 0; }
  // Serialises message processing of the concrete server; not taken by the listener.
  std::mutex& WorkLock() noexcept { return m_workLock; }
  // The time-out set on each accepted connection (kConnectionTimeoutMs unless changed, which
  // only tests do). Takes effect for connections accepted afterwards.
  void SetConnectionTimeout(std::uint32_t milliseconds) noexcept {
    m_timeoutMs.store(milliseconds);
  }
  std::uint32_t ConnectionTimeout() const noexcept { return m_timeoutMs.load(); }
  // The address the listening socket is bound to (port 0 picks a free one).
  platform::SocketAddress BoundAddress() const;

  // The list operations, each under the list lock: add inserts at the head and counts;
  // remove unlinks the entry of that thread and uncounts, false when there is none.
  void AddConnection(C_WSTHREAD* connection, platform::Thread::Id thread, platform::Socket* socket);
  bool RemoveConnection(platform::Thread::Id thread);

 private:
  friend void AcceptConnections(C_WINSOCK* listener);
  friend int ClientThreadEntry(const std::shared_ptr<ConnectionEntry>& entry);

  friend class C_WSTHREAD;
  // A session within the limit has ended (C_WSTHREAD::EndOfSession): true when its place is
  // given back now, false when too many are closing already.
  bool SessionEnded();
  void ThreadStarted();
  void ThreadEnded();
  void AcceptLoopEnded();

  platform::SocketAddress m_listenAddress{};
  platform::Socket m_listening;
  std::list<ActiveConnection> m_connections;
  std::atomic<int> m_accepting{0};
  std::atomic<int> m_maxConnections{kDefaultMaxConnections};
  std::atomic<int> m_activeCount{0};
  std::atomic<int> m_admitted{0};  // accepted within the limit, thread not yet ended
  std::atomic<int> m_refusing{0};  // accepted over the limit, thread not yet ended
  std::atomic<int> m_closing{0};   // session ended and place given back, thread not yet ended
  int m_protocol = 0;
  // Socket library start-ups of ConnectToPort, each cleaned up once by the destructor: a
  // clean-up without its start-up would end the process's use of the library for every other
  // socket (the system counts them).
  int m_socketStartups = 0;
  mutable std::mutex m_listLock;
  std::mutex m_workLock;
  std::atomic<int> m_stopFlag{0};
  std::atomic<std::uint32_t> m_timeoutMs{kConnectionTimeoutMs};
  platform::Thread m_AcceptThread;

  // Which of this listener's threads still run, so that Shutdown can wait for them.
  std::mutex m_threadsLock;
  std::condition_variable m_threadsChanged;
  int m_liveConnectionThreads = 0;
  bool m_acceptLoopRunning = false;
};

// The record the accept loop hands to a new connection thread; the thread owns it.
struct ConnectionEntry {
  platform::Socket socket;  // the accepted connection
  const platform::Socket* listening = nullptr;
  platform::SocketAddress peer{};
  platform::Thread thread;  // the thread created for this entry
  bool overLimit = false;
  C_WINSOCK* owner = nullptr;
  // The thread waits here until its handle is in the entry (it is created "suspended").
  std::latch resume{1};
};

// The body of the accept thread.
void AcceptConnections(C_WINSOCK* listener);
// The body of each connection thread; 1.
int ClientThreadEntry(const std::shared_ptr<ConnectionEntry>& entry);

}  // namespace faxmail
