// The TCP connection against a far end of the test's own on the loopback
// interface: a thread that accepts one connection and then behaves as a row
// of the table says. Runs on POSIX and, with Winsock, under Wine.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // std::min, not windows.h's macro
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

#include "../TestTiming.h"
#include "platform/TcpConnection.h"
#include "platform/TcpSockets.h"

namespace {

#ifdef _WIN32
typedef SOCKET Socket;
void closeSocket(Socket s) { closesocket(s); }
#else
typedef int Socket;
void closeSocket(Socket s) { close(s); }
#endif

enum Behaviour {
  NOBODY,       // the port is closed
  ECHO_IN_TWO,  // echoes what it gets: the first SPLIT_AT bytes, a pause, the rest; closes
  SILENT,       // says nothing until the test closes
  CLOSES,       // closes at once
  RESETS,       // resets the connection after a pause
  COUNTS,       // reads slowly until it has all, answers the byte count, closes
};
const size_t SPLIT_AT = 5;
const auto PAUSE = std::chrono::milliseconds(200);

// Waits up to 10 s for s to be readable: the thread never outlives a test
// whose connection failed.
bool readable(Socket s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  struct timeval wait = {10, 0};
  return select((int)s + 1, &set, NULL, NULL, &wait) > 0;
}

std::string receiveUpTo(Socket s, size_t size) {
  std::string got;
  char buffer[65536];
  while (got.size() < size && readable(s)) {
    const int n = recv(s, buffer, (int)std::min(sizeof buffer, size - got.size()), 0);
    if (n <= 0) break;
    got.append(buffer, (size_t)n);
  }
  return got;
}

class FarEnd {
 public:
  // Listens on the loopback address of host's family (IPv6 for "::1").
  FarEnd(const char *host, Behaviour behaviour, size_t expected) {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    const bool ipv6 = strchr(host, ':') != NULL;
    struct addrinfo hints = {}, *address = NULL;
    hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(ipv6 ? "::1" : "127.0.0.1", "0", &hints, &address) != 0) return;
    listener_ = socket(address->ai_family, SOCK_STREAM, 0);
    const bool bound = bind(listener_, address->ai_addr, (int)address->ai_addrlen) == 0;
    freeaddrinfo(address);
    struct sockaddr_storage name;
    socklen_t length = sizeof name;
    if (!bound || getsockname(listener_, (struct sockaddr *)&name, &length) != 0) return;
    port_ = ntohs(ipv6 ? ((struct sockaddr_in6 *)&name)->sin6_port
                       : ((struct sockaddr_in *)&name)->sin_port);
    if (behaviour != NOBODY && listen(listener_, 1) == 0)
      thread_ = std::thread([this, behaviour, expected] { serve(behaviour, expected); });
  }
  ~FarEnd() {
    if (thread_.joinable()) thread_.join();
    closeSocket(listener_);
  }
  int port() const { return port_; }

 private:
  void serve(Behaviour behaviour, size_t expected) {
    if (!readable(listener_)) return;
    const Socket s = accept(listener_, NULL, NULL);
    if (behaviour == ECHO_IN_TWO) {
      const std::string got = receiveUpTo(s, expected);
      send(s, got.data(), (int)std::min(SPLIT_AT, got.size()), MSG_NOSIGNAL);
      std::this_thread::sleep_for(PAUSE);
      if (got.size() > SPLIT_AT)
        send(s, got.data() + SPLIT_AT, (int)(got.size() - SPLIT_AT), MSG_NOSIGNAL);
    } else if (behaviour == SILENT) {
      receiveUpTo(s, 1);
    } else if (behaviour == RESETS) {
      // After the client's open has taken the connect's result: a reset
      // before it would fail the open instead (a loaded machine saw it).
      std::this_thread::sleep_for(PAUSE);
      struct linger reset = {1, 0};
      setsockopt(s, SOL_SOCKET, SO_LINGER, (const char *)&reset, sizeof reset);
    } else if (behaviour == COUNTS) {
      std::this_thread::sleep_for(PAUSE);
      const std::string count = std::to_string(receiveUpTo(s, expected).size());
      send(s, count.data(), (int)count.size(), MSG_NOSIGNAL);
    }
    closeSocket(s);
  }

  Socket listener_ = (Socket)-1;
  int port_ = 0;
  std::thread thread_;
};

struct TcpCase {
  const char *name;
  const char *host;
  Behaviour farEnd;
  std::string sent;    // sent once connected
  int receiveMs;       // each receive's timeout
  const char *result;  // receptions joined by '|', or (part of) the reason the open fails
};

TEST(TcpConnection, ConnectsSendsReceivesAndSeesTheEnd) {
  const TcpCase cases[] = {
      {"round trip, reply in two", "127.0.0.1", ECHO_IN_TWO, "hello, world", 2000,
       "hello|, world|closed"},
      {"IPv6", "::1", ECHO_IN_TWO, "over v6", 2000, "over |v6|closed"},
      {"send larger than the buffers", "localhost", COUNTS, std::string(16 << 20, 'x'), 5000,
       "16777216|closed"},
      {"silent far end", "127.0.0.1", SILENT, "", 300, "timeout"},
      {"far end closes", "127.0.0.1", CLOSES, "", 2000, "closed"},
      {"far end resets", "127.0.0.1", RESETS, "", 2000, "closed"},
      {"closed port", "127.0.0.1", NOBODY, "", 0, "refused"},
      {"unknown name", "unit.invalid", NOBODY, "", 0, "name not resolved: unit.invalid"},
  };
  for (const TcpCase &c : cases) {
    SCOPED_TRACE(c.name);
    FarEnd farEnd(c.host, c.farEnd, c.sent.size());
    if (farEnd.port() == 0) {
      ADD_FAILURE() << "no loopback listener for " << c.host;
      continue;
    }
    TcpConnection connection;
    std::string reason;
    if (!tcpConnection_open(&connection, c.host, farEnd.port(), &reason)) {
      EXPECT_NE(reason.find(c.result), std::string::npos) << reason;
      EXPECT_EQ(c.farEnd, NOBODY) << reason;
      continue;
    }
    EXPECT_NE(c.farEnd, NOBODY);
    EXPECT_TRUE(tcpConnection_send(&connection, c.sent.data(), c.sent.size(), 5000, &reason))
        << reason;

    std::string transcript;
    int got = 1;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10 && got > 0; i++) {
      char buffer[64];
      start = std::chrono::steady_clock::now();
      got = tcpConnection_receive(&connection, buffer, sizeof buffer, c.receiveMs, &reason);
      transcript += transcript.empty() ? "" : "|";
      if (got > 0) transcript.append(buffer, (size_t)got);
      if (got == TCP_RECEIVE_TIMEOUT) transcript += "timeout";
      if (got == TCP_RECEIVE_CLOSED) transcript += "closed";
      if (got == TCP_RECEIVE_FAILED) transcript += "failed: " + reason;
    }
    EXPECT_EQ(transcript, c.result);
    if (got == TCP_RECEIVE_TIMEOUT) {
      const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
      EXPECT_GE(ms, c.receiveMs * 9 / 10);
      EXPECT_LT(ms, c.receiveMs + slackMs(1000));
    }
    tcpConnection_close(&connection);
    tcpConnection_close(&connection);
    EXPECT_EQ(tcpConnection_receive(&connection, NULL, 0, 0, NULL), TCP_RECEIVE_FAILED);
  }
}

#ifndef _WIN32
// A name server that never answers: its lookup ends the open at the connect's bound.
int silentLookup(const char *, const char *, const struct addrinfo *, struct addrinfo **) {
  std::this_thread::sleep_for(std::chrono::seconds(8));
  return EAI_AGAIN;
}

TEST(TcpConnection, AnUnansweredNameEndsWithinTheConnectBound) {
  tcpSockets_setLookup(silentLookup);
  TcpConnection connection;
  std::string reason;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(tcpConnection_open(&connection, "unit.example", 45001, &reason));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  tcpSockets_setLookup(NULL);
  EXPECT_EQ(reason, "name not resolved: unit.example (timed out after 5 s)");
  EXPECT_GE(ms, TCP_CONNECT_TIMEOUT_MS - 100);
  EXPECT_LT(ms, TCP_CONNECT_TIMEOUT_MS + slackMs(500));
}
#endif

}  // namespace
