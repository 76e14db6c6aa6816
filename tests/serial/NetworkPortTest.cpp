// The network port against the real thing: unitsim plays the unit on a
// pseudo-terminal and ser2net serves that terminal over RFC 2217 or raw TCP.
// The driver opens the registered address like a COM port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// Starts argv with its stdout on a pipe (*output, when not null).
pid_t start(std::vector<std::string> argv, int *output) {
  int pipeEnds[2] = {-1, -1};
  if (output != nullptr && pipe(pipeEnds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    if (output != nullptr) dup2(pipeEnds[1], STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    std::vector<char *> args;
    for (std::string &arg : argv) args.push_back(&arg[0]);
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (output != nullptr) {
    close(pipeEnds[1]);
    *output = pipeEnds[0];
  }
  return pid;
}

void stop(pid_t *pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  waitpid(*pid, nullptr, 0);
  *pid = -1;
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
    int output = -1;
    unitsim = start({UNITSIM_PATH, "--com-dir", folder, "--unit", "1:tx:57600", "--max-seconds",
                     "60", "--log", folder + "/wire.log"},
                    &output);
    std::string seen, pty;
    char buffer[256];
    for (ssize_t n; seen.find("ready ") == std::string::npos &&
                    (n = read(output, buffer, sizeof buffer)) > 0;)
      seen.append(buffer, (size_t)n);
    close(output);
    std::istringstream lines(seen);
    for (std::string com; lines >> com;)
      if (com == "COM1") lines >> pty;
    if (pty.empty()) return false;

    const int tcpPort = freeLoopbackPort();
    if (!accepter.empty()) {
      std::ofstream(folder + "/ser2net.yaml")
          << "connection: &con1\n  accepter: " << accepter << ",127.0.0.1," << tcpPort
          << "\n  connector: serialdev," << pty << "," << lineSettings << ",local\n";
      ser2net = start({SER2NET, "-n", "-c", folder + "/ser2net.yaml"}, nullptr);
      // Up once it takes a connection (ser2net opens the line for it, then lets it go).
      bool listening = false;
      for (long long until = nowMs() + 5000; !listening && nowMs() < until;) {
        TcpConnection probe;
        std::string reason;
        listening = tcpConnection_open(&probe, "127.0.0.1", tcpPort, &reason);
        tcpConnection_close(&probe);
        if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (!listening) return false;
    }
    PortAddress address;
    std::string reason;
    portAddress_parse(std::string(scheme) + "://127.0.0.1:" + std::to_string(tcpPort), &address,
                      &reason);
    port = networkPort_register(&address);
    return port >= NETWORK_PORT_FIRST;
  }

  ~Bench() {
    stop(&ser2net);
    stop(&unitsim);
    if (!folder.empty()) system(("rm -rf " + folder).c_str());
  }
};

std::string fileText(const std::string &path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Reads until `count` bytes came or a read brings nothing.
std::string readReply(size_t count) {
  std::string reply;
  char buffer[128];
  int got = 0;
  while (reply.size() < count && ComPortAPI_ReadCOM(buffer, sizeof buffer, &got) && got > 0)
    reply.append(buffer, (size_t)got);
  return reply;
}

void openAt(int port, int rate) {
  ComPortAPI_SetBaudRate(rate);
  ComPortAPI_SetHardwareFlowControl(FALSE);
  ASSERT_TRUE(ComPortAPI_OpenCOM(port));
  ASSERT_TRUE(ComPortAPI_SetReadingTimeoutInMs(300));
}

TEST(NetworkPort, AgainstTerminalServer) {
  if (access(SER2NET, X_OK) != 0) GTEST_SKIP() << SER2NET " is not installed";
  const std::string rfc2217 = "telnet(rfc2217),tcp";
  struct Case {
    const char *what;
    std::string accepter, lineSettings;
    const char *scheme;
    std::function<void(Bench &)> check;
  } cases[] = {
      {"the rate travels: no answer at 9600, the unit found at 57600", rfc2217, "9600n81",
       "rfc2217",
       [](Bench &bench) {
         const std::string trace = bench.folder + "/trace.txt";
         serialTrace_start("NetworkPortTest", "1", trace.c_str());
         EXPECT_FALSE(detectUnitOn(bench.port, bench.port, 9600));
         EXPECT_TRUE(detectUnitOn(bench.port, bench.port, 57600));
         ComPortAPI_CloseCOM();
         serialTrace_finish(0);
         const std::string url = portAddress_text(*networkPort_address(bench.port));
         for (const std::string &record :
              {"connect " + url + " ok", url + ": SET-BAUDRATE 57600 acknowledged",
               std::string("write 20 of 20 bytes"), "close " + url + " ok"})
           EXPECT_NE(fileText(trace).find(record), std::string::npos) << record;
       }},
      {"a silent read gives 0 bytes after its timeout", rfc2217, "9600n81", "rfc2217",
       [](Bench &bench) {
         openAt(bench.port, 57600);
         char buffer[16];
         int got = -1;
         const long long started = nowMs();
         EXPECT_TRUE(ComPortAPI_ReadCOM(buffer, sizeof buffer, &got));
         EXPECT_EQ(got, 0);
         EXPECT_GE(nowMs() - started, 280);
         EXPECT_LE(nowMs() - started, 800);
         ComPortAPI_CloseCOM();
       }},
      {"0xFF bytes travel both ways (the unit echoes its command line)", rfc2217, "9600n81",
       "rfc2217",
       [](Bench &bench) {
         openAt(bench.port, 57600);
         char command[] = "x\xff\xffy\n\r";
         int written = 0;
         EXPECT_TRUE(ComPortAPI_WriteCOM(command, 6, &written));
         EXPECT_EQ(written, 6);
         const std::string expected = "x\xff\xffy\r\nERROR: unknown command\r\n>>";
         EXPECT_EQ(readReply(expected.size()), expected);
         ComPortAPI_CloseCOM();
       }},
      {"the server killed mid-read: the read fails within 1 s", rfc2217, "9600n81", "rfc2217",
       [](Bench &bench) {
         openAt(bench.port, 57600);
         ComPortAPI_SetReadingTimeoutInMs(5000);
         std::thread killer([&bench] {
           std::this_thread::sleep_for(std::chrono::milliseconds(300));
           kill(bench.ser2net, SIGKILL);
         });
         char buffer[16];
         int got = -1;
         const long long started = nowMs();
         EXPECT_FALSE(ComPortAPI_ReadCOM(buffer, sizeof buffer, &got));
         EXPECT_LE(nowMs() - started, 300 + 1000);
         EXPECT_FALSE(ComPortAPI_ReadCOM(buffer, sizeof buffer, &got));  // and stays failed
         killer.join();
         ComPortAPI_CloseCOM();
       }},
      {"nothing listens: the open fails with the system's reason", "", "", "rfc2217",
       [](Bench &bench) {
         EXPECT_EQ(ComPortAPI_OpenDevice(bench.port), INVALID_HANDLE_VALUE);
         EXPECT_STREQ(ComPortAPI_LastOpenError()->text, "connection refused");
       }},
      {"socket://: no settings sent, the unit answers at the line's own rate", "tcp", "57600n81",
       "socket",
       [](Bench &bench) {
         EXPECT_TRUE(detectUnitOn(bench.port, bench.port, 9600));
         ComPortAPI_CloseCOM();
       }},
  };
  std::vector<char> dataBuffer(DATA_BUFFER_SIZE);
  gDataBuffer = dataBuffer.data();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ComPortAPI_SetReadingTimeoutInMs(MAX_WAIT_READ);
    Bench bench;
    ASSERT_TRUE(bench.up(c.accepter, c.lineSettings, c.scheme));
    c.check(bench);
  }
  gDataBuffer = NULL;
}

}  // namespace
