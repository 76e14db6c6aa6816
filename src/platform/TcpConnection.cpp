// What a connection does with the platform's socket calls (TcpSockets.h):
// every wait bounded by a deadline, every call repeated when a signal breaks it.
#include "platform/TcpConnection.h"

#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include "platform/TcpSockets.h"

static_assert(std::atomic<intptr_t>::is_always_lock_free,
              "the interrupt handler closes the socket: its number must be lock-free");

static void setReason(std::string *reason, const std::string &text) {
  if (reason != NULL) *reason = text;
}

static std::string timedOutText(int milliseconds) {
  return "timed out after " + std::to_string(milliseconds / 1000) + " s";
}

// One address's connection, TCP_NO_SOCKET with the reason when it fails.
static intptr_t connectTo(const TcpAddress *address, int64_t deadlineMs, std::string *reason) {
  int error = 0;
  const intptr_t s = tcpSockets_create(address, &error);
  if (s == TCP_NO_SOCKET) {
    *reason = tcpSockets_errorText(error);
    return TCP_NO_SOCKET;
  }
  error = tcpSockets_startConnect(s, address);
  bool timedOut = false;
  if (error == 0) {
    const int ready = tcpSockets_wait(s, true, deadlineMs, &error);
    timedOut = ready == 0;
    if (ready > 0) error = tcpSockets_connectResult(s);
  }
  if (timedOut || error != 0) {
    *reason = timedOut || tcpSockets_timedOut(error) ? timedOutText(TCP_CONNECT_TIMEOUT_MS)
                                                     : tcpSockets_errorText(error);
    tcpSockets_close(s);
    return TCP_NO_SOCKET;
  }
  tcpSockets_setNoDelay(s);
  return s;
}

void tcpSockets_copyAddresses(const struct addrinfo *list, std::vector<TcpAddress> *addresses) {
  for (const struct addrinfo *a = list; a != NULL; a = a->ai_next) {
    TcpAddress address;
    if (a->ai_addr == NULL || a->ai_addrlen > sizeof address.address) continue;
    address.family = a->ai_family;
    address.socketType = a->ai_socktype;
    address.protocol = a->ai_protocol;
    address.length = (int)a->ai_addrlen;
    memcpy(address.address, a->ai_addr, a->ai_addrlen);
    addresses->push_back(address);
  }
}

// An IPv4 or IPv6 address rather than a name: digits and dots only, or a
// colon. The port's parser has refused the forms that systems read apart
// (leading zeros, hexadecimal, fewer parts); what is left is read here as a
// number, never sent to a name server.
static bool isNumericHost(const char *host) {
  if (strchr(host, ':') != NULL) return true;
  return host[0] != 0 && strspn(host, "0123456789.") == strlen(host);
}

static bool readNumericHost(const char *host, int port, std::vector<TcpAddress> *addresses) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  struct addrinfo *list = NULL;
  if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &list) != 0) return false;
  tcpSockets_copyAddresses(list, addresses);
  freeaddrinfo(list);
  return !addresses->empty();
}

bool tcpConnection_open(TcpConnection *connection, const char *host, int port,
                        std::string *reason) {
  if (!tcpSockets_ready(reason)) return false;
  // The name's lookup counts in the bound as the connects do.
  const int64_t deadlineMs = tcpSockets_nowMs() + TCP_CONNECT_TIMEOUT_MS;
  std::vector<TcpAddress> addresses;
  const int resolved = isNumericHost(host) ? (readNumericHost(host, port, &addresses) ? 1 : 0)
                                           : tcpSockets_resolve(host, port, deadlineMs, &addresses);
  if (resolved <= 0) {
    *reason = "name not resolved: " + std::string(host) +
              (resolved < 0 ? " (" + timedOutText(TCP_CONNECT_TIMEOUT_MS) + ")" : "");
    return false;
  }
  intptr_t s = TCP_NO_SOCKET;
  for (size_t i = 0; i < addresses.size() && s == TCP_NO_SOCKET; i++)
    if (tcpSockets_nowMs() < deadlineMs) s = connectTo(&addresses[i], deadlineMs, reason);
  if (s == TCP_NO_SOCKET) {
    if (reason->empty()) *reason = timedOutText(TCP_CONNECT_TIMEOUT_MS);
    return false;
  }
  connection->socket.store(s);
  return true;
}

bool tcpConnection_send(TcpConnection *connection, const char *data, size_t size, int timeoutMs,
                        std::string *reason) {
  const intptr_t s = connection->socket.load();
  int64_t deadlineMs = tcpSockets_nowMs() + timeoutMs;
  while (size > 0) {
    int error = tcpSockets_notConnected();
    const long sent = s == TCP_NO_SOCKET ? -1 : tcpSockets_send(s, data, size, &error);
    if (sent > 0) {
      data += sent;
      size -= (size_t)sent;
      deadlineMs = tcpSockets_nowMs() + timeoutMs;
      continue;
    }
    if (tcpSockets_interrupted(error)) continue;
    if (tcpSockets_wouldBlock(error)) {
      const int ready = tcpSockets_wait(s, true, deadlineMs, &error);
      if (ready > 0) continue;
      if (ready == 0) {
        *reason = "timed out after " + std::to_string(timeoutMs) + " ms";
        return false;
      }
    }
    *reason = tcpSockets_errorText(error);
    return false;
  }
  return true;
}

int tcpConnection_receive(TcpConnection *connection, char *buffer, int size, int timeoutMs,
                          std::string *reason) {
  const intptr_t s = connection->socket.load();
  const int64_t deadlineMs = tcpSockets_nowMs() + timeoutMs;
  for (;;) {
    int error = tcpSockets_notConnected();
    const long got = s == TCP_NO_SOCKET ? -1 : tcpSockets_receive(s, buffer, (size_t)size, &error);
    if (got > 0) return (int)got;
    if (got == 0) {
      setReason(reason, "closed by the peer");
      return TCP_RECEIVE_CLOSED;
    }
    if (tcpSockets_interrupted(error)) continue;
    if (tcpSockets_wouldBlock(error)) {
      const int ready = tcpSockets_wait(s, false, deadlineMs, &error);
      if (ready > 0) continue;
      if (ready == 0) return TCP_RECEIVE_TIMEOUT;
    }
    setReason(reason, tcpSockets_errorText(error));
    return tcpSockets_dropped(error) ? TCP_RECEIVE_CLOSED : TCP_RECEIVE_FAILED;
  }
}

void tcpConnection_close(TcpConnection *connection) {
  const intptr_t s = connection->socket.exchange(TCP_NO_SOCKET);
  if (s != TCP_NO_SOCKET) tcpSockets_close(s);
}
