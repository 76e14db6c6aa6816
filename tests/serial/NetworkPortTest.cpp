// The network port against the real thing: unitsim plays the unit on a
// pseudo-terminal and ser2net serves that terminal over RFC 2217 or raw TCP.
// The driver opens the registered address like a COM port. Then against
// servers of the test's own that break the rules.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../TestFiles.h"
#include "../TestTiming.h"
#include "platform/TcpConnection.h"
#include "serial/ComPortAPI.h"
#include "serial/NetworkPort.h"
#include "serial/SerialTrace.h"
#include "serial/UnitExchange.h"
#include "updater/Detection.h"

#define SER2NET "/usr/sbin/ser2net"

namespace {

long long nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, (sockaddr *)&address, sizeof address);
  getsockname(fd, (sockaddr *)&address, &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Starts argv[0] with its error output dropped (ser2net talks about mDNS).
pid_t start(std::vector<std::string> argv) {
  std::vector<char *> args;
  for (std::string &arg : argv) args.push_back(&arg[0]);
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool within(int ms, const std::function<bool()> &done) {
  for (long long until = nowMs() + ms; !done(); usleep(20000))
    if (nowMs() > until) return false;
  return true;
}

// unitsim with one unit at 57600 on COM1, ser2net with one accepter in front
// of it, the accepter's address registered with the driver.
struct Bench {
  std::string folder;
  pid_t unitsim = -1, ser2net = -1;
  int port = 0;  // the driver's number for the address

  // accepter: "telnet(rfc2217),tcp" or "tcp"; empty for no server at all.
  bool up(const std::string &accepter, const std::string &lineSettings, const char *scheme) {
    char pattern[] = "/tmp/netport-XXXXXX";
    folder = mkdtemp(pattern);
    unitsim = start({UNITSIM_PATH, "--com-dir", folder, "--unit", "1:tx:57600", "--max-seconds",
                     "60", "--ready-file", folder + "/ready"});
    char pty[64] = "";
    if (!within(5000, [&] { return access((folder + "/ready").c_str(), F_OK) == 0; }) ||
        readlink((folder + "/COM1").c_str(), pty, sizeof pty - 1) <= 0)
      return false;
    const int tcpPort = freeLoopbackPort();
    if (!accepter.empty()) {
      std::ofstream(folder + "/ser2net.yaml")
          << "connection: &con1\n  accepter: " << accepter << ",127.0.0.1," << tcpPort
          << "\n  connector: serialdev," << pty << "," << lineSettings << ",local\n";
      ser2net = start({SER2NET, "-n", "-c", folder + "/ser2net.yaml"});
      // Up once it takes a connection (it opens the line for it, then lets it go).
      const bool listening = within(5000, [&] {
        TcpConnection probe;
        std::string reason;
        const bool connected = tcpConnection_open(&probe, "127.0.0.1", tcpPort, &reason);
        tcpConnection_close(&probe);
        return connected;
      });
      if (!listening) return false;
    }
    PortAddress address;
    std::string reason;
    portAddress_parse(std::string(scheme) + "://127.0.0.1:" + std::to_string(tcpPort), &address,
                      &reason);
    port = portRegistry_register(address);
    return port >= NETWORK_PORT_FIRST;
  }

  ~Bench() {
    for (pid_t pid : {ser2net, unitsim})
      if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
    if (!folder.empty()) system(("rm -rf " + folder).c_str());
  }
};

void openAt(int port, int readTimeoutMs) {
  ComPortAPI_SetBaudRate(57600);
  ComPortAPI_SetHardwareFlowControl(FALSE);
  ASSERT_TRUE(ComPortAPI_OpenCOM(port));
  ASSERT_TRUE(ComPortAPI_SetReadingTimeoutInMs(readTimeoutMs));
}

// One read of the driver: its result, the count and the milliseconds it took.
struct Read {
  BOOL ok;
  int got;
  long long ms;
};

Read readOnce() {
  char buffer[16];
  Read read = {FALSE, -1, nowMs()};
  read.ok = ComPortAPI_ReadCOM(buffer, sizeof buffer, &read.got);
  read.ms = nowMs() - read.ms;
  return read;
}

TEST(NetworkPort, AgainstTerminalServer) {
  if (access(SER2NET, X_OK) != 0) GTEST_SKIP() << SER2NET " is not installed";
  const std::string rfc2217 = "telnet(rfc2217),tcp";
  struct Case {
    const char *what;
    std::string accepter;  // "tcp": socket://, else rfc2217://
    const char *lineSettings;
    std::function<void(Bench &)> check;
  } cases[] = {
      {"the rate travels: no answer at 9600, the unit found at 57600", rfc2217, "9600n81",
       [](Bench &bench) {
         const std::string trace = bench.folder + "/trace.txt";
         serialTrace_start("NetworkPortTest", "1", trace.c_str());
         EXPECT_FALSE(detectUnitOn(bench.port, bench.port, 9600));
         EXPECT_TRUE(detectUnitOn(bench.port, bench.port, 57600));
         ComPortAPI_CloseCOM();
         serialTrace_finish(0);
         const std::string url = portAddress_text(*portRegistry_address(bench.port));
         for (const std::string &record :
              {"connect " + url + " ok", url + ": SET-BAUDRATE 57600 acknowledged",
               std::string("write 20 of 20 bytes"), "close " + url + " ok"})
           EXPECT_NE(fileText(trace).find(record), std::string::npos) << record;
         // One connection for each detection: its probe's, kept for the first rate.
         const std::string text = fileText(trace), connect = "connect " + url + " ok";
         size_t connects = 0;
         for (size_t at = 0; (at = text.find(connect, at)) != std::string::npos; at++) connects++;
         EXPECT_EQ(connects, 2u);
       }},
      {"a silent read gives 0 bytes after its timeout", rfc2217, "9600n81",
       [](Bench &bench) {
         openAt(bench.port, 300);
         const Read read = readOnce();
         EXPECT_TRUE(read.ok && read.got == 0);
         EXPECT_TRUE(read.ms >= 280 && read.ms < 300 + slackMs(500)) << read.ms;
       }},
      {"0xFF bytes travel both ways (the unit echoes its command line)", rfc2217, "9600n81",
       [](Bench &bench) {
         openAt(bench.port, 300);
         char command[] = "x\xff\xffy\n\r";
         int written = 0;
         EXPECT_TRUE(ComPortAPI_WriteCOM(command, 6, &written) && written == 6);
         const std::string expected = "x\xff\xffy\r\nERROR: unknown command\r\n>>";
         std::string reply;
         char buffer[64];
         for (int got = 0; reply.size() < expected.size() &&
                           ComPortAPI_ReadCOM(buffer, sizeof buffer, &got) && got > 0;)
           reply.append(buffer, (size_t)got);
         EXPECT_EQ(reply, expected);
       }},
      {"the server killed mid-read: the read fails within 1 s, and so do the next", rfc2217,
       "9600n81",
       [](Bench &bench) {
         openAt(bench.port, 5000);
         std::thread killer([&bench] {
           usleep(300 * 1000);
           kill(bench.ser2net, SIGKILL);
         });
         const Read read = readOnce();
         killer.join();
         EXPECT_FALSE(read.ok);
         EXPECT_LE(read.ms, 300 + slackMs(1000));
         EXPECT_FALSE(readOnce().ok);
       }},
      {"writes keep pace with the line; replies get the round trip allowance", rfc2217, "9600n81",
       [](Bench &bench) {
         openAt(bench.port, 300);
         EXPECT_GE(ComPortAPI_ReplyDelayMs(), NETWORK_PORT_REPLY_DELAY_FLOOR_MS);
         // 5760 bytes are one second of a 57600 baud line: the write returns
         // when at most NETWORK_PORT_WRITE_LEAD_MS of it is left.
         std::vector<char> spaces(5760, ' ');
         int written = 0;
         const long long startMs = nowMs();
         EXPECT_TRUE(ComPortAPI_WriteCOM(spaces.data(), (int)spaces.size(), &written));
         const long long ms = nowMs() - startMs;
         EXPECT_GE(ms, 1000 - NETWORK_PORT_WRITE_LEAD_MS - 20);
         EXPECT_LT(ms, 1000 + slackMs(500));
         ComPortAPI_CloseCOM();
         EXPECT_EQ(ComPortAPI_ReplyDelayMs(), 0);
       }},
      {"nothing listens: the open fails with the system's reason", "", "",
       [](Bench &bench) {
         EXPECT_EQ(ComPortAPI_OpenDevice(bench.port), INVALID_HANDLE_VALUE);
         EXPECT_STREQ(ComPortAPI_LastOpenError()->text, "connection refused");
       }},
      {"socket://: no settings sent, the unit answers at the line's own rate", "tcp", "57600n81",
       [](Bench &bench) { EXPECT_TRUE(detectUnitOn(bench.port, bench.port, 9600)); }},
  };
  std::vector<char> dataBuffer(DATA_BUFFER_SIZE);
  gDataBuffer = dataBuffer.data();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ComPortAPI_SetReadingTimeoutInMs(MAX_WAIT_READ);
    Bench bench;
    ASSERT_TRUE(bench.up(c.accepter, c.lineSettings, c.accepter == "tcp" ? "socket" : "rfc2217"));
    c.check(bench);
    ComPortAPI_CloseCOM();  // a closed or failed port's handle fails cleanly
  }
  gDataBuffer = NULL;
}

// A server that breaks the rules one way: it sends `opening` once a client
// connects, `answer` for each piece the client sends past its 15-byte
// opening, and `flood` again and again, until the client is gone.
struct Hostile {
  const char *what, *scheme;
  std::string opening, answer, flood;
  std::string failure;  // networkPort_failure's text; empty: the open succeeds
};

void serveHostile(int listener, const Hostile &h) {
  const int peer = accept(listener, nullptr, nullptr);
  bool up = send(peer, h.opening.data(), h.opening.size(), MSG_NOSIGNAL) >= 0;
  for (size_t taken = 0; up;) {
    pollfd ready = {peer, POLLIN, 0};
    if (poll(&ready, 1, h.flood.empty() ? 100 : 0) > 0) {
      char piece[4096];
      const ssize_t got = recv(peer, piece, sizeof piece, 0);
      taken += got > 0 ? (size_t)got : 0;
      up = got > 0 &&
           (taken <= 15 || send(peer, h.answer.data(), h.answer.size(), MSG_NOSIGNAL) >= 0);
    }
    up = up && send(peer, h.flood.data(), h.flood.size(), MSG_NOSIGNAL) >= 0;
  }
  close(peer);
}

TEST(NetworkPort, AgainstHostileServers) {
  using namespace std::string_literals;
  const std::string agree = "\xff\xfd\x00\xff\xfb\x00\xff\xfd\x03\xff\xfb\x03\xff\xfd\x2c"s;
  const std::string flood(65536, 'U'),
      noAck = "no acknowledgement of SET-BAUDRATE within 3 s", broke = "the server broke Telnet: ",
      loop = broke + "option flood: more than 256 negotiation commands without data",
      binary =
          "the server refuses BINARY (Telnet's text mode may add or drop a byte after a CR "
          "inside an image)";
  std::string options;
  for (int i = 0; i < 4096; i++) options += "\xff\xfb\x05";
  const Hostile cases[] = {
      {"no acknowledgement", "rfc2217", agree, "", "", noAck},
      {"a flood and no acknowledgement", "rfc2217", agree, "", flood, noAck},
      {"a raw flood: NETWORK_PORT_RECEIVE_HOLD bytes kept, the rest counted", "socket", "", "",
       flood, ""},
      {"BINARY refused", "rfc2217", "\xff\xfe\x00\xff\xfc\x00"s + agree.substr(6), "", "", binary},
      {"BINARY switched off", "rfc2217", agree, "\xff\xfe\x00"s, "", binary},
      {"option flood", "rfc2217", agree, "", options, loop},
      {"WILL/DONT loop", "rfc2217", agree + "\xff\xfb\x01", "\xff\xfb\x01", "", loop},
      {"subnegotiation too long", "rfc2217", agree,
       "\xff\xfa\x2c\x65" + std::string(80, '\0') + "\xff\xf0", "",
       broke + "subnegotiation longer than 64 bytes"},
  };
  for (const Hostile &h : cases) {
    SCOPED_TRACE(h.what);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    bind(listener, (sockaddr *)&address, length);
    listen(listener, 1);
    getsockname(listener, (sockaddr *)&address, &length);
    std::thread server(serveHostile, listener, std::cref(h));
    PortAddress parsed;
    std::string reason;
    portAddress_parse(h.scheme + "://127.0.0.1:"s + std::to_string(ntohs(address.sin_port)),
                      &parsed, &reason);
    const int port = portRegistry_register(parsed);
    const long long startMs = nowMs();
    const HANDLE handle = networkPort_open(port);
    EXPECT_LT(nowMs() - startMs, NETWORK_PORT_ACK_TIMEOUT_MS + slackMs(500));
    EXPECT_EQ(networkPort_failure(port), h.failure);
    uint64_t dropped = 0;
    const size_t held = networkPort_held(handle, &dropped);  // 0 for a failed open
    EXPECT_EQ(held, h.failure.empty() ? (size_t)NETWORK_PORT_RECEIVE_HOLD : 0u);
    EXPECT_EQ(dropped > 0, h.failure.empty());
    networkPort_close(handle);
    server.join();
    close(listener);
  }
}

// A far server: Telnet agreed at once, the rate acknowledged 2 s late (the
// open measures a long round trip), each write then answered by a version
// reply whose prompt follows 150 ms after the rest. Without its ending known,
// a 300 ms read would wait about 766 ms more (the spread assumed, the floor).
TEST(NetworkPort, ReplyKnownWholeEndsTheLinksAllowance) {
  using namespace std::string_literals;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(listener, (sockaddr *)&address, length), listen(listener, 1);
  getsockname(listener, (sockaddr *)&address, &length);
  std::thread server([listener] {
    const int peer = accept(listener, nullptr, nullptr);
    send(peer, "\xff\xfd\x00\xff\xfb\x00\xff\xfd\x03\xff\xfb\x03\xff\xfd\x2c", 15, MSG_NOSIGNAL);
    char piece[512];
    for (size_t taken = 0, got; (got = recv(peer, piece, sizeof piece, 0)) + 1 > 1;)
      if ((taken += got) > 15 && taken - got <= 15)
        usleep(2000 * 1000), send(peer, "\xff\xfa\x2c\x65\0\0\x25\x80\xff\xf0", 10, MSG_NOSIGNAL);
      else if (taken > 15)
        send(peer, "1.0.4 XC7A35 1.3 1\r\n", 20, 0), usleep(150000), send(peer, ">>", 2, 0);
    close(peer);
  });
  PortAddress parsed;
  std::string reason;
  portAddress_parse("rfc2217://127.0.0.1:"s + std::to_string(ntohs(address.sin_port)), &parsed, &reason);
  const HANDLE handle = networkPort_open(portRegistry_register(parsed));
  COMMTIMEOUTS timeouts = {300, 0, 300, 0, 0};
  DWORD done = 0;
  networkPort_setTimeouts(handle, &timeouts), networkPort_expectReplyEnd(handle, "\r\n>>");
  EXPECT_TRUE(networkPort_write(handle, "%%%fw -v\n\r", 10, &done));
  char buffer[64];
  const long long startMs = nowMs();
  EXPECT_TRUE(networkPort_read(handle, buffer, sizeof buffer, &done));
  EXPECT_LT(nowMs() - startMs, 300 + slackMs(350));
  EXPECT_EQ(std::string(buffer, done), "1.0.4 XC7A35 1.3 1\r\n>>");  // not cut at the "\r\n"
  networkPort_close(handle), server.join(), close(listener);
}

}  // namespace
