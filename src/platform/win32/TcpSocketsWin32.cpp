// Winsock for TcpConnection: every wait a select() until its deadline; a
// name's lookup asynchronous (GetAddrInfoExW), waited for until the deadline.
// Winsock calls return SOCKET_ERROR (or INVALID_SOCKET) upon failure, the
// reason in WSAGetLastError.
#include <winsock2.h>  // before windows.h, which would bring the old winsock.h
#include <ws2tcpip.h>

#include <windows.h>

#include <ctype.h>
#include <limits.h>
#include <string.h>

#include "platform/SystemError.h"
#include "platform/TcpConnection.h"
#include "platform/TcpSockets.h"

// In ws2_32 since Windows 8; MinGW-w64's headers do not declare them.
extern "C" {
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExCancel(LPHANDLE lpHandle);
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED lpOverlapped);
}

bool tcpSockets_ready(std::string *reason) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) *reason = "Winsock did not start";
  return started;
}

int64_t tcpSockets_nowMs(void) { return (int64_t)GetTickCount64(); }

std::string tcpSockets_errorText(int error) {
  SystemError captured = {error, ""};
  systemError_restore(&captured);
  systemError_capture(&captured);
  std::string text = captured.text;
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) text[0] = (char)tolower((unsigned char)text[0]);
  return text;
}

static std::wstring wideText(const char *text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide((size_t)length, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
  wide.resize((size_t)length - 1);
  return wide;
}

// The lookup is overlapped, with the time left as its own timeout: Windows
// ends it then at the latest. Should it not, it is cancelled at the deadline.
// Windows 7 takes no overlapped lookup: there it waits as long as the name
// server makes it.
int tcpSockets_resolve(const char *host, int port, int64_t deadlineMs,
                       std::vector<TcpAddress> *addresses) {
  const std::wstring name = wideText(host), service = std::to_wstring(port);
  if (name.empty()) return 0;
  ADDRINFOEXW hints;
  ZeroMemory(&hints, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  const int64_t now = (int64_t)GetTickCount64();
  const int64_t left = deadlineMs > now ? deadlineMs - now : 0;
  if (left == 0) return -1;
  struct timeval timeout = {(long)(left / 1000), (long)(left % 1000 * 1000)};
  OVERLAPPED overlapped;
  ZeroMemory(&overlapped, sizeof overlapped);
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (overlapped.hEvent == NULL) return 0;
  PADDRINFOEXW result = NULL;
  HANDLE cancel = NULL;
  int error = GetAddrInfoExW(name.c_str(), service.c_str(), NS_ALL, NULL, &hints, &result, &timeout,
                             &overlapped, NULL, &cancel);
  bool timedOut = false;
  if (error == WSA_IO_PENDING) {
    if (WaitForSingleObject(overlapped.hEvent, (DWORD)left) == WAIT_TIMEOUT) {
      timedOut = true;
      GetAddrInfoExCancel(&cancel);
      WaitForSingleObject(overlapped.hEvent, INFINITE);  // the cancel ends it at once
    }
    error = GetAddrInfoExOverlappedResult(&overlapped);
  } else if (error == WSAEINVAL) {
    error = GetAddrInfoExW(name.c_str(), service.c_str(), NS_ALL, NULL, &hints, &result, NULL, NULL,
                           NULL, NULL);
  }
  CloseHandle(overlapped.hEvent);
  if (error != 0) {
    if (result != NULL) FreeAddrInfoExW(result);
    const bool late = timedOut || error == WSAETIMEDOUT || (int64_t)GetTickCount64() >= deadlineMs;
    return late ? -1 : 0;
  }
  // The cast: MinGW-w64 declares ai_next as a pointer to a misspelt struct.
  for (const ADDRINFOEXW *a = result; a != NULL; a = (const ADDRINFOEXW *)a->ai_next) {
    TcpAddress address;
    if (a->ai_addr == NULL || a->ai_addrlen > sizeof address.address) continue;
    address.family = a->ai_family;
    address.socketType = a->ai_socktype;
    address.protocol = a->ai_protocol;
    address.length = (int)a->ai_addrlen;
    memcpy(address.address, a->ai_addr, a->ai_addrlen);
    addresses->push_back(address);
  }
  FreeAddrInfoExW(result);
  return addresses->empty() ? 0 : 1;
}

intptr_t tcpSockets_create(const TcpAddress *address, int *error) {
  const SOCKET s = socket(address->family, address->socketType, address->protocol);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return TCP_NO_SOCKET;
  }
  SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  return (intptr_t)s;
}

int tcpSockets_startConnect(intptr_t socket, const TcpAddress *address) {
  if (connect((SOCKET)socket, (const struct sockaddr *)address->address, address->length) !=
      SOCKET_ERROR)
    return 0;
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK ? 0 : error;
}

int tcpSockets_connectResult(intptr_t socket) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt((SOCKET)socket, SOL_SOCKET, SO_ERROR, (char *)&error, &length) == SOCKET_ERROR)
    return WSAGetLastError();
  return error;
}

void tcpSockets_setNoDelay(intptr_t socket) {
  const BOOL on = TRUE;
  setsockopt((SOCKET)socket, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
}

void tcpSockets_close(intptr_t socket) { closesocket((SOCKET)socket); }

// A failed connect shows in the exception set, a finished one in the write set.
int tcpSockets_wait(intptr_t socket, bool writing, int64_t deadlineMs, int *error) {
  const int64_t now = (int64_t)GetTickCount64();
  const int64_t left = deadlineMs > now ? deadlineMs - now : 0;
  struct timeval wait = {(long)(left / 1000), (long)(left % 1000 * 1000)};
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET((SOCKET)socket, &ready);
  FD_SET((SOCKET)socket, &failed);
  const int count = select(0, writing ? NULL : &ready, writing ? &ready : NULL, &failed, &wait);
  if (count == SOCKET_ERROR) {
    *error = WSAGetLastError();
    return -1;
  }
  return count;
}

long tcpSockets_send(intptr_t socket, const char *data, size_t size, int *error) {
  const int sent = send((SOCKET)socket, data, size > INT_MAX ? INT_MAX : (int)size, 0);
  if (sent == SOCKET_ERROR) *error = WSAGetLastError();
  return sent;
}

long tcpSockets_receive(intptr_t socket, char *buffer, size_t size, int *error) {
  const int got = recv((SOCKET)socket, buffer, size > INT_MAX ? INT_MAX : (int)size, 0);
  if (got == SOCKET_ERROR) *error = WSAGetLastError();
  return got;
}

bool tcpSockets_wouldBlock(int error) { return error == WSAEWOULDBLOCK; }
bool tcpSockets_interrupted(int error) { return error == WSAEINTR; }
bool tcpSockets_dropped(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN ||
         error == WSAETIMEDOUT;
}
bool tcpSockets_timedOut(int error) { return error == WSAETIMEDOUT; }
int tcpSockets_notConnected(void) { return WSAENOTCONN; }
