// BSD sockets: a non-blocking socket, every wait a poll() repeated on EINTR
// until its deadline.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "platform/TcpConnection.h"
#include "platform/posix/ReadDeadline.h"

static_assert(std::atomic<intptr_t>::is_always_lock_free,
              "the interrupt handler closes the socket: its number must be lock-free");

// Linux refuses SIGPIPE per call; the BSDs and macOS per socket (SO_NOSIGPIPE).
#ifdef MSG_NOSIGNAL
#define SEND_FLAGS MSG_NOSIGNAL
#else
#define SEND_FLAGS 0
#endif

// strerror's text with a lower-case start, to follow a colon: "connection refused".
static std::string errorText(int code) {
  std::string text = strerror(code);
  if (!text.empty()) text[0] = (char)tolower((unsigned char)text[0]);
  return text;
}

static void setReason(std::string *reason, const std::string &text) {
  if (reason != NULL) *reason = text;
}

// poll() for `events` until deadlineMs: > 0 ready, 0 timed out, -1 failed (errno).
static int waitFor(int fd, short events, int64_t deadlineMs) {
  for (;;) {
    const int64_t left = deadlineMs - readDeadline_nowMs();
    struct pollfd entry = {fd, events, 0};
    const int ready = poll(&entry, 1, left > 0 ? (int)left : 0);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

// One address's connection, -1 with the reason when it fails.
static int connectTo(const struct addrinfo *address, int64_t deadlineMs, std::string *reason) {
  const int fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (fd < 0) {
    *reason = errorText(errno);
    return -1;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  const int on = 1;
#ifdef SO_NOSIGPIPE
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  int error = 0;
  if (connect(fd, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS &&
      errno != EINTR) {
    error = errno;
  } else {
    const int ready = waitFor(fd, POLLOUT, deadlineMs);
    socklen_t length = sizeof error;
    if (ready == 0)
      error = ETIMEDOUT;
    else if (ready < 0)
      error = errno;
    else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
      error = errno;
  }
  if (error != 0) {
    *reason = error == ETIMEDOUT
                  ? "timed out after " + std::to_string(TCP_CONNECT_TIMEOUT_MS / 1000) + " s"
                  : errorText(error);
    close(fd);
    return -1;
  }
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

bool tcpConnection_open(TcpConnection *connection, const char *host, int port,
                        std::string *reason) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo *addresses = NULL;
  const int resolved = getaddrinfo(host, std::to_string(port).c_str(), &hints, &addresses);
  if (resolved != 0) {
    *reason = "name not resolved: " + std::string(host);
    if (resolved == EAI_SYSTEM) *reason += " (" + errorText(errno) + ")";
    return false;
  }
  const int64_t deadlineMs = readDeadline_nowMs() + TCP_CONNECT_TIMEOUT_MS;
  int fd = -1;
  for (const struct addrinfo *a = addresses; a != NULL && fd < 0; a = a->ai_next)
    if (readDeadline_nowMs() < deadlineMs) fd = connectTo(a, deadlineMs, reason);
  freeaddrinfo(addresses);
  if (fd < 0) return false;
  connection->socket.store(fd);
  return true;
}

bool tcpConnection_send(TcpConnection *connection, const char *data, size_t size, int timeoutMs,
                        std::string *reason) {
  const int fd = (int)connection->socket.load();
  int64_t deadlineMs = readDeadline_nowMs() + timeoutMs;
  while (size > 0) {
    const ssize_t sent = fd < 0 ? -1 : send(fd, data, size, SEND_FLAGS);
    if (sent > 0) {
      data += sent;
      size -= (size_t)sent;
      deadlineMs = readDeadline_nowMs() + timeoutMs;
      continue;
    }
    if (fd < 0) errno = ENOTCONN;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const int ready = waitFor(fd, POLLOUT, deadlineMs);
      if (ready > 0) continue;
      if (ready == 0) {
        *reason = "timed out after " + std::to_string(timeoutMs) + " ms";
        return false;
      }
    }
    *reason = errorText(errno);
    return false;
  }
  return true;
}

int tcpConnection_receive(TcpConnection *connection, char *buffer, int size, int timeoutMs,
                          std::string *reason) {
  const int fd = (int)connection->socket.load();
  const int64_t deadlineMs = readDeadline_nowMs() + timeoutMs;
  for (;;) {
    const ssize_t got = fd < 0 ? -1 : recv(fd, buffer, (size_t)size, 0);
    if (got > 0) return (int)got;
    if (got == 0) {
      setReason(reason, "closed by the peer");
      return TCP_RECEIVE_CLOSED;
    }
    if (fd < 0) errno = ENOTCONN;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const int ready = waitFor(fd, POLLIN, deadlineMs);
      if (ready > 0) continue;
      if (ready == 0) return TCP_RECEIVE_TIMEOUT;
    }
    const int error = errno;
    setReason(reason, errorText(error));
    return error == ECONNRESET || error == ECONNABORTED || error == EPIPE || error == ETIMEDOUT
               ? TCP_RECEIVE_CLOSED
               : TCP_RECEIVE_FAILED;
  }
}

void tcpConnection_close(TcpConnection *connection) {
  const intptr_t fd = connection->socket.exchange(TCP_NO_SOCKET);
  if (fd != TCP_NO_SOCKET) close((int)fd);
}
