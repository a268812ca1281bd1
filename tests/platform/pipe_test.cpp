#include "platform/pipe/pipe.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/eventually.h"
#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "platform/sync/event.h"
#include "platform/win32/win32_error.h"

namespace platform::pipe {
namespace {

using Clock = std::chrono::steady_clock;
using vqtest::MsSince;

constexpr char kName[] = "\\\\.\\pipe\\VqPipeTest";
// Upper bound for "about the time-out": generous, the machine may be busy.
constexpr int64_t kSlackMs = 3000;

std::vector<uint8_t> Message(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// A socket file with nobody listening, as a killed server leaves it.
void MakeStaleSocketFile(const std::string& path) {
  ASSERT_TRUE(paths::CreateDirectories(path.substr(0, path.rfind('/'))));
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
  ::close(fd);
}

ino_t InodeOf(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// One client connected to server, its connection accepted as served.
void ConnectAndAccept(PipeServer& server, PipeConnection& client, PipeConnection& served) {
  ASSERT_EQ(Connect(kName, client, 1000), ERROR_SUCCESS);
  Event stop(Event::Reset::Manual);
  ASSERT_EQ(server.Accept(served, stop), ERROR_SUCCESS);
}

// Serves clients one after another on its own thread, running session for
// each connection, until stopped.
class ServerThread {
 public:
  ServerThread(PipeServer& server, std::function<void(PipeConnection&)> session)
      : thread_([this, &server, session = std::move(session)] {
          for (;;) {
            PipeConnection connection;
            const uint32_t result = server.Accept(connection, stop_);
            if (result != ERROR_SUCCESS) {
              if (result != ERROR_OPERATION_ABORTED) acceptError_ = result;
              return;
            }
            ++sessions_;
            session(connection);
          }
        }) {}
  ~ServerThread() { Stop(); }

  // Joins the thread; the Accept failure other than the stop, or 0.
  uint32_t Stop() {
    stop_.Set();
    if (thread_.joinable()) thread_.join();
    return acceptError_;
  }
  int Sessions() const { return sessions_.load(); }

 private:
  Event stop_{Event::Reset::Manual};
  std::atomic<int> sessions_{0};
  uint32_t acceptError_ = ERROR_SUCCESS;
  std::thread thread_;
};

// Answers every message with itself until the client closes.
void Echo(PipeConnection& connection) {
  std::vector<uint8_t> message;
  while (connection.Read(message) == ERROR_SUCCESS && !message.empty()) {
    if (connection.Write(message) != ERROR_SUCCESS) break;
  }
}

TEST(Pipe, MessagesRoundTripWholeAndSeparate) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  ServerThread serving(server, Echo);

  for (size_t size : {size_t{1}, size_t{4096}}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> request = Message(size, static_cast<uint8_t>(size));
    std::vector<uint8_t> reply;
    EXPECT_EQ(Transact(kName, request, reply, kMaxMessage, 5000, 5000), ERROR_SUCCESS);
    EXPECT_EQ(reply, request);
  }

  // Several messages written back to back keep their boundaries.
  PipeConnection client;
  ASSERT_EQ(Connect(kName, client, 5000), ERROR_SUCCESS);
  const std::vector<std::vector<uint8_t>> burst = {Message(1, 1), Message(4096, 2), Message(7, 3), Message(1, 4)};
  for (const auto& message : burst) ASSERT_EQ(client.Write(message, 5000), ERROR_SUCCESS);
  for (const auto& message : burst) {
    std::vector<uint8_t> reply;
    ASSERT_EQ(client.Read(reply, kMaxMessage, 5000), ERROR_SUCCESS);
    EXPECT_EQ(reply, message);
  }
  client.Close();
  EXPECT_EQ(serving.Stop(), ERROR_SUCCESS);
}

TEST(Pipe, OversizedWriteIsRefusedWithoutSending) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  PipeConnection client, served;
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept(server, client, served));

  EXPECT_EQ(client.Write(Message(kMaxMessage + 1, 9), 1000), ERROR_MORE_DATA);
  // Nothing went out, and the connection still carries the next message.
  const std::vector<uint8_t> next = Message(3, 5);
  ASSERT_EQ(client.Write(next, 1000), ERROR_SUCCESS);
  std::vector<uint8_t> got;
  ASSERT_EQ(served.Read(got, kMaxMessage, 1000), ERROR_SUCCESS);
  EXPECT_EQ(got, next);
}

TEST(Pipe, MessageLongerThanCapacityIsConsumedAndRefused) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  PipeConnection client, served;
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept(server, client, served));

  struct Case {
    size_t capacity;
    size_t length;
    uint32_t result;
  };
  const Case cases[] = {
      {16, 17, ERROR_MORE_DATA},
      {16, 16, ERROR_SUCCESS},
      {0, 1, ERROR_MORE_DATA},
      {kMaxMessage, kMaxMessage, ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << " length " << c.length);
    const std::vector<uint8_t> message = Message(c.length, 1);
    const std::vector<uint8_t> marker = Message(2, 99);
    ASSERT_EQ(client.Write(message, 1000), ERROR_SUCCESS);
    ASSERT_EQ(client.Write(marker, 1000), ERROR_SUCCESS);
    std::vector<uint8_t> got(5, 0xEE);
    EXPECT_EQ(served.Read(got, c.capacity, 1000), c.result);
    EXPECT_EQ(got, c.result == ERROR_SUCCESS ? message : std::vector<uint8_t>{});
    // The refused message is gone whole: the next read is the next message.
    ASSERT_EQ(served.Read(got, kMaxMessage, 1000), ERROR_SUCCESS);
    EXPECT_EQ(got, marker);
  }
}

TEST(Pipe, TransactRefusesReplyLargerThanCapacity) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  ServerThread serving(server, Echo);
  std::vector<uint8_t> reply = {1, 2, 3};
  EXPECT_EQ(Transact(kName, Message(100, 0), reply, 50, 5000, 5000), ERROR_MORE_DATA);
  EXPECT_TRUE(reply.empty());
}

TEST(Pipe, ServerClosingWithoutReplyGivesEmptyReply) {
  struct Case {
    const char* what;
    bool readRequestFirst;
  };
  const Case cases[] = {{"reads the request, then closes", true}, {"closes with the request unread", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vqtest::TempRoot root;
    PipeServer server;
    ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
    std::vector<uint8_t> seen;
    ServerThread serving(server, [&](PipeConnection& connection) {
      if (!c.readRequestFirst) {
        // Close only once the request has arrived, unread.
        pollfd pfd{connection.Fd(), POLLIN, 0};
        ::poll(&pfd, 1, 5000);
      } else {
        connection.Read(seen, kMaxMessage, 5000);
      }
      connection.Close();
    });
    std::vector<uint8_t> reply = {7};
    EXPECT_EQ(Transact(kName, Message(10, 3), reply, kMaxMessage, 5000, 5000), ERROR_SUCCESS);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(serving.Stop(), ERROR_SUCCESS);
    if (c.readRequestFirst) {
      EXPECT_EQ(seen, Message(10, 3));
    }
  }
}

TEST(Pipe, SilentServerTimesOutWithIoPending) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  // Never accepted: the request sits queued and no answer comes.
  constexpr int kTimeoutMs = 300;
  std::vector<uint8_t> reply;
  const auto start = Clock::now();
  EXPECT_EQ(Transact(kName, Message(4, 0), reply, kMaxMessage, kTimeoutMs, 1000), ERROR_IO_PENDING);
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, kTimeoutMs);
  EXPECT_LT(elapsed, kTimeoutMs + kSlackMs);
  EXPECT_TRUE(reply.empty());
}

TEST(Pipe, NobodyServingGivesFileNotFoundAtOnce) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> prepare;
  };
  const Case cases[] = {
      {"no pipe folder", [](const std::string&) {}},
      {"folder without the socket file",
       [](const std::string& path) { ASSERT_TRUE(paths::CreateDirectories(path.substr(0, path.rfind('/')))); }},
      {"stale socket file", [](const std::string& path) { MakeStaleSocketFile(path); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vqtest::TempRoot root;
    c.prepare(paths::PipePath(kName));
    PipeConnection client;
    std::vector<uint8_t> reply;
    const auto start = Clock::now();
    EXPECT_EQ(Connect(kName, client, 5000), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Transact(kName, Message(1, 0), reply, kMaxMessage, 5000, 5000), ERROR_FILE_NOT_FOUND);
    EXPECT_LT(MsSince(start), 2000);  // the busy wait is only for a full queue
    EXPECT_FALSE(client.Valid());
  }
}

TEST(Pipe, FullQueueGivesPipeBusyAfterTheBusyWait) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);

  // Fill the queue of a server that does not accept.
  std::vector<PipeConnection> queued;
  uint32_t result = ERROR_SUCCESS;
  for (int i = 0; i < 1000 && result == ERROR_SUCCESS; ++i) {
    PipeConnection client;
    result = Connect(kName, client, 0);
    if (result == ERROR_SUCCESS) queued.push_back(std::move(client));
  }
  ASSERT_EQ(result, ERROR_PIPE_BUSY);
  EXPECT_GE(queued.size(), 1u);

  constexpr int kBusyWaitMs = 300;
  PipeConnection late;
  auto start = Clock::now();
  EXPECT_EQ(Connect(kName, late, kBusyWaitMs), ERROR_PIPE_BUSY);
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, kBusyWaitMs);
  EXPECT_LT(elapsed, kBusyWaitMs + kSlackMs);

  // Room made during the busy wait lets the waiting client in.
  Event stop(Event::Reset::Manual);
  PipeConnection accepted;
  std::thread acceptor([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Accept(accepted, stop);
  });
  start = Clock::now();
  EXPECT_EQ(Connect(kName, late, 10000), ERROR_SUCCESS);
  EXPECT_GE(MsSince(start), 50);
  acceptor.join();
  EXPECT_TRUE(accepted.Valid());
}

TEST(Pipe, AcceptReturnsAbortedWhenStopIsSetAndClientWaitsForTheNextAccept) {
  struct Case {
    enum Event::Reset reset;
    bool stopStillSet;
  };
  const Case cases[] = {{Event::Reset::Manual, true}, {Event::Reset::Auto, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reset == Event::Reset::Manual ? "manual stop" : "auto stop");
    vqtest::TempRoot root;
    PipeServer server;
    ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
    PipeConnection client;
    ASSERT_EQ(Connect(kName, client, 1000), ERROR_SUCCESS);
    ASSERT_EQ(client.Write(Message(5, 1), 1000), ERROR_SUCCESS);

    Event stop(c.reset);
    stop.Set();
    PipeConnection served;
    ASSERT_EQ(server.Accept(served, stop), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(served.Valid());
    EXPECT_EQ(stop.IsSet(), c.stopStillSet);

    stop.Reset();
    ASSERT_EQ(server.Accept(served, stop), ERROR_SUCCESS);
    std::vector<uint8_t> got;
    ASSERT_EQ(served.Read(got, kMaxMessage, 1000), ERROR_SUCCESS);
    EXPECT_EQ(got, Message(5, 1));
  }
}

TEST(Pipe, StopSetDuringAcceptAndCancelSetDuringReadEndTheWait) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  Event stop(Event::Reset::Manual);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Set();
  });
  PipeConnection served;
  EXPECT_EQ(server.Accept(served, stop), ERROR_OPERATION_ABORTED);
  setter.join();

  PipeConnection client;
  ASSERT_EQ(Connect(kName, client, 1000), ERROR_SUCCESS);
  Event cancel(Event::Reset::Auto);
  setter = std::thread([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancel.Set();
  });
  std::vector<uint8_t> got;
  const auto start = Clock::now();
  EXPECT_EQ(client.Read(got, kMaxMessage, 20000, &cancel), ERROR_OPERATION_ABORTED);
  EXPECT_LT(MsSince(start), 10000);
  setter.join();
}

void NoteSignal(int) {}

TEST(Pipe, SignalsDoNotCutWaitsShort) {
  vqtest::TempRoot root;
  struct sigaction action{};
  action.sa_handler = NoteSignal;  // no SA_RESTART: every wait sees EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction previous{};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  const pthread_t waiter = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread pester([&] {
    while (!done.load()) {
      ::pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });

  PipeConnection client;
  ASSERT_EQ(Connect(kName, client, 1000), ERROR_SUCCESS);
  constexpr int kTimeoutMs = 300;
  std::vector<uint8_t> got;
  const auto start = Clock::now();
  EXPECT_EQ(client.Read(got, kMaxMessage, kTimeoutMs), ERROR_IO_PENDING);
  EXPECT_GE(MsSince(start), kTimeoutMs);

  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PipeConnection second;
    Connect(kName, second, 1000);
    second.Write(Message(2, 2), 1000);
  });
  Event stop(Event::Reset::Manual);
  PipeConnection served;
  EXPECT_EQ(server.Accept(served, stop), ERROR_SUCCESS);  // the first client
  EXPECT_EQ(server.Accept(served, stop), ERROR_SUCCESS);  // the late one
  late.join();
  done = true;
  pester.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(Pipe, WriteToAFullPeerTimesOut) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  PipeConnection client;
  ASSERT_EQ(Connect(kName, client, 1000), ERROR_SUCCESS);
  uint32_t result = ERROR_SUCCESS;
  for (int i = 0; i < 100000 && result == ERROR_SUCCESS; ++i) result = client.Write(Message(kMaxMessage, 0), 0);
  ASSERT_EQ(result, ERROR_IO_PENDING);

  constexpr int kTimeoutMs = 200;
  const auto start = Clock::now();
  EXPECT_EQ(client.Write(Message(10, 0), kTimeoutMs), ERROR_IO_PENDING);
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, kTimeoutMs);
  EXPECT_LT(elapsed, kTimeoutMs + kSlackMs);
}

TEST(Pipe, StaleSocketFileIsReplacedButALiveServerKeepsItsName) {
  vqtest::TempRoot root;
  const std::string path = paths::PipePath(kName);
  MakeStaleSocketFile(path);

  auto first = std::make_unique<PipeServer>();
  ASSERT_EQ(first->Create(kName, 0600), ERROR_SUCCESS);
  EXPECT_EQ(first->Path(), path);
  ServerThread serving(*first, Echo);

  {
    PipeServer second;
    EXPECT_EQ(second.Create(kName, 0600), ERROR_PIPE_BUSY);
  }
  // The refused server removed nothing: the first one still answers.
  const std::vector<uint8_t> request = Message(8, 8);
  std::vector<uint8_t> reply;
  EXPECT_EQ(Transact(kName, request, reply, kMaxMessage, 5000, 5000), ERROR_SUCCESS);
  EXPECT_EQ(reply, request);

  EXPECT_EQ(serving.Stop(), ERROR_SUCCESS);
  first.reset();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
}

TEST(Pipe, ServerRemovesOnlyItsOwnSocketFile) {
  vqtest::TempRoot root;
  const std::string path = paths::PipePath(kName);
  {
    PipeServer server;
    ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
    // Someone else takes the name over meanwhile.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    MakeStaleSocketFile(path);
  }
  EXPECT_NE(InodeOf(path), 0u);

  // Anything but a socket at the path is never taken for a stale pipe.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  vqtest::WriteFileBytes(path, "data");
  PipeServer server;
  EXPECT_EQ(server.Create(kName, 0600), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(vqtest::ReadFileBytes(path), "data");
}

TEST(Pipe, SocketFileHasExactlyTheModeAsked) {
  struct Case {
    mode_t mode;
    mode_t umask;
  };
  const Case cases[] = {{0666, 0077}, {0666, 0022}, {0600, 0}, {0600, 0022}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << "mode " << c.mode << " umask " << c.umask);
    vqtest::TempRoot root;
    const mode_t saved = ::umask(c.umask);
    PipeServer server;
    const uint32_t result = server.Create(kName, c.mode);
    ::umask(saved);
    ASSERT_EQ(result, ERROR_SUCCESS);
    struct stat st{};
    ASSERT_EQ(::lstat(server.Path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    const std::string folder = server.Path().substr(0, server.Path().rfind('/'));
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
  }
}

TEST(Pipe, PeerNamesTheProcessOnTheOtherEnd) {
  vqtest::TempRoot root;
  PipeServer server;
  ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
  PipeConnection client, served;
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept(server, client, served));
  for (const PipeConnection* end : {&served, &client}) {
    const PeerCredentials peer = end->Peer();
    EXPECT_EQ(peer.pid, ::getpid());
    EXPECT_EQ(peer.uid, ::getuid());
    EXPECT_EQ(peer.gid, ::getgid());
  }
}

// Runs in a child with SIGPIPE at its default action (terminate): only
// MSG_NOSIGNAL keeps it alive to report the result.
int WriteToClosedPeers() {
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  ::pthread_sigmask(SIG_UNBLOCK, &pipeOnly, nullptr);

  vqtest::TempRoot root;
  PipeServer server;
  if (server.Create(kName, 0600) != ERROR_SUCCESS) return 10;
  Event stop(Event::Reset::Manual);
  PipeConnection client, served;
  if (Connect(kName, client, 1000) != ERROR_SUCCESS || server.Accept(served, stop) != ERROR_SUCCESS) return 11;
  served.Close();
  if (client.Write(Message(3, 0), 1000) != ERROR_BROKEN_PIPE) return 12;
  if (client.Write(Message(3, 0), 1000) != ERROR_BROKEN_PIPE) return 13;

  if (Connect(kName, client, 1000) != ERROR_SUCCESS || server.Accept(served, stop) != ERROR_SUCCESS) return 14;
  client.Close();
  if (served.Write(Message(3, 0), 1000) != ERROR_BROKEN_PIPE) return 15;
  return 0;
}

TEST(PipeDeathTest, WritingToAClosedPeerGivesBrokenPipeWithoutSigpipe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(WriteToClosedPeers()), testing::ExitedWithCode(0), "");
}

TEST(Pipe, WorksWhenThePathIsTooLongForASocketAddress) {
  vqtest::TempRoot root;
  const std::string deep = root.path() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  ASSERT_TRUE(paths::CreateDirectories(deep));
  ::setenv("VQ_ROOT", deep.c_str(), 1);  // TempRoot puts the old value back
  const std::string path = paths::PipePath(kName);
  ASSERT_GT(path.size(), sizeof(sockaddr_un{}.sun_path));

  PipeConnection absent;
  EXPECT_EQ(Connect(kName, absent, 1000), ERROR_FILE_NOT_FOUND);
  {
    PipeServer server;
    ASSERT_EQ(server.Create(kName, 0600), ERROR_SUCCESS);
    EXPECT_NE(InodeOf(path), 0u);
    ServerThread serving(server, Echo);
    const std::vector<uint8_t> request = Message(20, 4);
    std::vector<uint8_t> reply;
    EXPECT_EQ(Transact(kName, request, reply, kMaxMessage, 5000, 5000), ERROR_SUCCESS);
    EXPECT_EQ(reply, request);
  }
  EXPECT_EQ(InodeOf(path), 0u);
}

}  // namespace
}  // namespace platform::pipe
