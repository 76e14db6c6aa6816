// BSD sockets for TcpConnection: every wait a poll() repeated on EINTR until
// its deadline; a name's lookup in a thread of its own, waited for until the
// deadline. The calls return -1 upon failure, the reason in errno.
#include "platform/TcpSockets.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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

static std::atomic<TcpLookup> sLookup{getaddrinfo};

void tcpSockets_setLookup(TcpLookup lookup) {
  sLookup.store(lookup != NULL ? lookup : getaddrinfo);
}

namespace {
// One lookup, shared by the caller and the thread that runs it: whichever
// lets go last frees it, so a caller that stopped waiting leaves nothing
// behind when the name server answers at last (or never: the thread then
// ends with the process).
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int status = 0;
  struct addrinfo *result = NULL;
  ~Lookup() {
    if (result != NULL) freeaddrinfo(result);
  }
};
}  // namespace

int tcpSockets_resolve(const char *host, int port, int64_t deadlineMs,
                       std::vector<TcpAddress> *addresses) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  const std::string name = host, service = std::to_string(port);
  const TcpLookup lookupCall = sLookup.load();
  std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
  // The thread takes no signal: an interrupt must reach the threads that wait
  // on the unit, and this one may outlive the wait.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = true;
  try {
    std::thread([lookup, name, service, hints, lookupCall] {
      struct addrinfo *result = NULL;
      const int status = lookupCall(name.c_str(), service.c_str(), &hints, &result);
      std::lock_guard<std::mutex> hold(lookup->mutex);
      lookup->status = status;
      lookup->result = status == 0 ? result : NULL;
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error &) {
    started = false;  // no thread to be had: looked up here, unbounded
  }
  pthread_sigmask(SIG_SETMASK, &previous, NULL);
  if (!started) {
    struct addrinfo *result = NULL;
    if (lookupCall(host, service.c_str(), &hints, &result) != 0) return 0;
    tcpSockets_copyAddresses(result, addresses);
    freeaddrinfo(result);
    return addresses->empty() ? 0 : 1;
  }
  std::unique_lock<std::mutex> hold(lookup->mutex);
  for (;;) {
    if (lookup->finished) break;
    const int64_t left = deadlineMs - readDeadline_nowMs();
    if (left <= 0) return -1;
    lookup->done.wait_for(hold, std::chrono::milliseconds(left));
  }
  if (lookup->status != 0) return 0;
  tcpSockets_copyAddresses(lookup->result, addresses);
  return addresses->empty() ? 0 : 1;
}

intptr_t tcpSockets_create(const TcpAddress *address, int *error) {
  const int fd = socket(address->family, address->socketType, address->protocol);
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

int tcpSockets_startConnect(intptr_t socket, const TcpAddress *address) {
  const struct sockaddr *to = (const struct sockaddr *)address->address;
  if (connect((int)socket, to, (socklen_t)address->length) == 0) return 0;
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
