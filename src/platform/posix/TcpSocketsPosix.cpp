// BSD sockets for TcpConnection: every wait a poll() repeated on EINTR until
// its deadline. The calls return -1 upon failure, the reason in errno.
#include "platform/TcpSockets.h"

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

#include "platform/TcpConnection.h"
#include "platform/ReadDeadline.h"

// Linux refuses SIGPIPE per call; the BSDs and macOS per socket (SO_NOSIGPIPE).
#ifdef MSG_NOSIGNAL
#define SEND_FLAGS MSG_NOSIGNAL
#else
#define SEND_FLAGS 0
#endif

bool tcpSockets_ready(std::string *) { return true; }

int64_t tcpSockets_nowMs(void) { return readDeadline_nowMs(); }

std::string tcpSockets_errorText(int error) {
  std::string text = strerror(error);
  if (!text.empty()) text[0] = (char)tolower((unsigned char)text[0]);
  return text;
}

intptr_t tcpSockets_create(const struct addrinfo *address, int *error) {
  const int fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (fd < 0) {
    *error = errno;
    return TCP_NO_SOCKET;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return fd;
}

int tcpSockets_startConnect(intptr_t socket, const struct addrinfo *address) {
  if (connect((int)socket, address->ai_addr, address->ai_addrlen) == 0) return 0;
  return errno == EINPROGRESS || errno == EINTR ? 0 : errno;
}

int tcpSockets_connectResult(intptr_t socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt((int)socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

void tcpSockets_setNoDelay(intptr_t socket) {
  const int on = 1;
  setsockopt((int)socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// close() only: the interrupt handler may call it.
void tcpSockets_close(intptr_t socket) { close((int)socket); }

int tcpSockets_wait(intptr_t socket, bool writing, int64_t deadlineMs, int *error) {
  for (;;) {
    const int64_t left = deadlineMs - readDeadline_nowMs();
    struct pollfd entry = {(int)socket, (short)(writing ? POLLOUT : POLLIN), 0};
    const int ready = poll(&entry, 1, left > 0 ? (int)left : 0);
    if (ready >= 0) return ready;
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

long tcpSockets_send(intptr_t socket, const char *data, size_t size, int *error) {
  const ssize_t sent = send((int)socket, data, size, SEND_FLAGS);
  if (sent < 0) *error = errno;
  return (long)sent;
}

long tcpSockets_receive(intptr_t socket, char *buffer, size_t size, int *error) {
  const ssize_t got = recv((int)socket, buffer, size, 0);
  if (got < 0) *error = errno;
  return (long)got;
}

bool tcpSockets_wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool tcpSockets_interrupted(int error) { return error == EINTR; }
bool tcpSockets_dropped(int error) {
  return error == ECONNRESET || error == ECONNABORTED || error == EPIPE || error == ETIMEDOUT;
}
bool tcpSockets_timedOut(int error) { return error == ETIMEDOUT; }
int tcpSockets_notConnected(void) { return ENOTCONN; }
