// Winsock: a non-blocking socket, every wait a select() until its deadline.
// Winsock calls return SOCKET_ERROR (or INVALID_SOCKET) upon failure, the
// reason in WSAGetLastError.
#include <winsock2.h>  // before windows.h, which would bring the old winsock.h
#include <ws2tcpip.h>

#include <windows.h>

#include <ctype.h>
#include <limits.h>
#include <string.h>

#include <string>

#include "platform/SystemError.h"
#include "platform/TcpConnection.h"

// Started on first use, for the life of the process.
static bool winsockStarted(void) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// The system's message for a Winsock error, to follow a colon: lower-case
// start, no full stop.
static std::string errorText(int code) {
  SystemError error = {code, ""};
  systemError_restore(&error);
  systemError_capture(&error);
  std::string text = error.text;
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) text[0] = (char)tolower((unsigned char)text[0]);
  return text;
}

static void setReason(std::string *reason, const std::string &text) {
  if (reason != NULL) *reason = text;
}

// select() until deadlineMs, for writing (or a failed connect) or for reading:
// > 0 ready, 0 timed out, SOCKET_ERROR failed.
static int waitFor(SOCKET s, bool writing, ULONGLONG deadlineMs) {
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG left = deadlineMs > now ? deadlineMs - now : 0;
  struct timeval wait = {(long)(left / 1000), (long)(left % 1000 * 1000)};
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  return select(0, writing ? NULL : &ready, writing ? &ready : NULL, &failed, &wait);
}

// One address's connection, INVALID_SOCKET with the reason when it fails.
static SOCKET connectTo(const struct addrinfo *address, ULONGLONG deadlineMs, std::string *reason) {
  const SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (s == INVALID_SOCKET) {
    *reason = errorText(WSAGetLastError());
    return INVALID_SOCKET;
  }
  SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  int error = 0;
  if (connect(s, address->ai_addr, (int)address->ai_addrlen) == SOCKET_ERROR &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    error = WSAGetLastError();
  } else {
    const int ready = waitFor(s, true, deadlineMs);
    int length = sizeof error;
    if (ready == 0)
      error = WSAETIMEDOUT;
    else if (ready == SOCKET_ERROR)
      error = WSAGetLastError();
    else if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&error, &length) == SOCKET_ERROR)
      error = WSAGetLastError();
  }
  if (error != 0) {
    *reason = error == WSAETIMEDOUT
                  ? "timed out after " + std::to_string(TCP_CONNECT_TIMEOUT_MS / 1000) + " s"
                  : errorText(error);
    closesocket(s);
    return INVALID_SOCKET;
  }
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
  return s;
}

bool tcpConnection_open(TcpConnection *connection, const char *host, int port,
                        std::string *reason) {
  if (!winsockStarted()) {
    *reason = "Winsock did not start";
    return false;
  }
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  struct addrinfo *addresses = NULL;
  if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &addresses) != 0) {
    *reason = "name not resolved: " + std::string(host);
    return false;
  }
  const ULONGLONG deadlineMs = GetTickCount64() + TCP_CONNECT_TIMEOUT_MS;
  SOCKET s = INVALID_SOCKET;
  for (const struct addrinfo *a = addresses; a != NULL && s == INVALID_SOCKET; a = a->ai_next)
    if (GetTickCount64() < deadlineMs) s = connectTo(a, deadlineMs, reason);
  freeaddrinfo(addresses);
  if (s == INVALID_SOCKET) return false;
  connection->socket.store((intptr_t)s);
  return true;
}

bool tcpConnection_send(TcpConnection *connection, const char *data, size_t size, int timeoutMs,
                        std::string *reason) {
  const SOCKET s = (SOCKET)connection->socket.load();
  ULONGLONG deadlineMs = GetTickCount64() + timeoutMs;
  while (size > 0) {
    const int chunk = size > INT_MAX ? INT_MAX : (int)size;
    const int sent = s == INVALID_SOCKET ? SOCKET_ERROR : send(s, data, chunk, 0);
    if (sent > 0) {
      data += sent;
      size -= (size_t)sent;
      deadlineMs = GetTickCount64() + timeoutMs;
      continue;
    }
    int error = s == INVALID_SOCKET ? WSAENOTCONN : WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      const int ready = waitFor(s, true, deadlineMs);
      if (ready > 0) continue;
      if (ready == 0) {
        *reason = "timed out after " + std::to_string(timeoutMs) + " ms";
        return false;
      }
      error = WSAGetLastError();
    }
    *reason = errorText(error);
    return false;
  }
  return true;
}

int tcpConnection_receive(TcpConnection *connection, char *buffer, int size, int timeoutMs,
                          std::string *reason) {
  const SOCKET s = (SOCKET)connection->socket.load();
  const ULONGLONG deadlineMs = GetTickCount64() + timeoutMs;
  for (;;) {
    const int got = s == INVALID_SOCKET ? SOCKET_ERROR : recv(s, buffer, size, 0);
    if (got > 0) return got;
    if (got == 0) {
      setReason(reason, "closed by the peer");
      return TCP_RECEIVE_CLOSED;
    }
    int error = s == INVALID_SOCKET ? WSAENOTCONN : WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      const int ready = waitFor(s, false, deadlineMs);
      if (ready > 0) continue;
      if (ready == 0) return TCP_RECEIVE_TIMEOUT;
      error = WSAGetLastError();
    }
    setReason(reason, errorText(error));
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN ||
                   error == WSAETIMEDOUT
               ? TCP_RECEIVE_CLOSED
               : TCP_RECEIVE_FAILED;
  }
}

void tcpConnection_close(TcpConnection *connection) {
  const intptr_t s = connection->socket.exchange(TCP_NO_SOCKET);
  if (s != TCP_NO_SOCKET) closesocket((SOCKET)s);
}
