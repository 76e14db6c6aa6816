// Network ports: a table of registered addresses, a table of connections.
//
// A handle names a connection slot (platform/HandleTable.h), so a handle kept
// after its close fails every call cleanly, as the local port's does.
#include "serial/NetworkPort.h"

#ifndef _WIN32
#include <errno.h>
#endif
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>

#include "platform/HandleTable.h"
#include "platform/TcpConnection.h"
#include "platform/ReadDeadline.h"
#include "serial/LinkTiming.h"
#include "serial/PortInterface.h"
#include "serial/SerialTrace.h"
#include "serial/TelnetCodec.h"

#define CONNECTIONS 8
#define RECEIVE_CHUNK 4096
#define SEND_TIMEOUT_MS 30000   // a write fails once the server takes nothing for this long
#define PURGE_RECEIVES_MAX 64   // a purge drains what is in flight, not a unit that never stops
#define UNLIMITED_WAIT_MS 1000  // a read without timeouts waits in steps of this
#define SETTLE_MS 150           // a server that drops a new connection does it within this
#define REDIAL_WINDOW_MS 3000
#define REDIAL_PAUSE_MS 100
#define RESUME_WINDOW_MS 15000  // a session lost while the unit reboots: dialled again this long
#define NO_ACK_TEXT "no acknowledgement of SET-BAUDRATE"

#ifdef _WIN32
#define ERROR_CLOSED_HANDLE ERROR_INVALID_HANDLE
#define ERROR_CONNECTION_LOST ERROR_NETNAME_DELETED
#define ERROR_BAD_SETTING ERROR_INVALID_PARAMETER
#define ERROR_NO_SUCH_FUNCTION ERROR_NOT_SUPPORTED
#else
#define ERROR_CLOSED_HANDLE EBADF
#define ERROR_CONNECTION_LOST EIO
#define ERROR_BAD_SETTING EINVAL
#define ERROR_NO_SUCH_FUNCTION EINVAL
#endif

typedef struct Connection {
  BOOL open;
  int port;
  BOOL telnet;  // rfc2217://, else socket://
  TcpConnection tcp;
  TelnetCodec codec;
  COMMTIMEOUTS timeouts;
  std::string received;  // data bytes taken from the server and not yet read
  uint64_t dropped;      // data bytes that found `received` full
  BOOL gone;             // the server closed or broke the connection
  BOOL broken;           // gone because the server broke Telnet
  std::string lost;      // why the connection is gone
  BOOL negotiated;       // the Telnet options are settled
  unsigned acks[COM_PORT_PURGE_DATA + 1];
  unsigned ratesAsked;  // SET-BAUDRATE commands sent on this session
  uint32_t lastAck[COM_PORT_PURGE_DATA + 1];
  LinkTiming timing;   // round trips measured at the open and at each acknowledged setting
  BOOL awaitingReply;  // nothing received since the last write
  int64_t lastByteMs;  // when the last data byte was taken by a read
  std::string replyEnd;   // the text a reply ends with (networkPort_expectReplyEnd), "" none
  std::string replyTail;  // the last bytes read since the last write, up to replyEnd's length
  BOOL replyComplete;     // what was read since the last write ends with replyEnd
  DCB dcb;             // the line settings last acknowledged, for a session opened again
  BOOL hasDcb;
  DWORD lineRate;      // the rate last set, 0 while unknown (a raw socket's first)
  int64_t lineDoneMs;  // when the line will have sent what was written so far
} Connection;

static HandleTable<Connection, CONNECTIONS> gConnections;
static SystemError gConnectError;
static std::map<int, std::string> gFailures;  // see networkPort_failure

static void setError(long code) {
  const SystemError error = {code, ""};
  systemError_restore(&error);
}

static std::string urlOf(const Connection *c) {
  return portAddress_text(*portRegistry_address(c->port));
}

// ---- Handles ---------------------------------------------------------------------

// The open connection of a handle, or NULL with the system error set.
static Connection *connectionOf(HANDLE handle) {
  Connection *c = gConnections.entryOf(handle);
  if (c == NULL || !c->open) {
    setError(ERROR_CLOSED_HANDLE);
    return NULL;
  }
  return c;
}

// The open connection of a handle, or NULL; no error set.
static const Connection *openConnection(HANDLE handle) {
  const Connection *c = gConnections.entryOf(handle);
  return c != NULL && c->open ? c : NULL;
}

static void noteFailure(int port, const std::string &reason) { gFailures[port] = reason; }

std::string networkPort_failure(int port) {
  const auto found = gFailures.find(port);
  return found != gFailures.end() ? found->second : "";
}

// ---- What the server sends -------------------------------------------------------

static void lose(Connection *c, const std::string &reason, BOOL broken) {
  if (c->gone) return;
  c->gone = TRUE;
  c->broken = broken;
  c->lost = reason;
  serialTrace_note("%s connection lost: %s", urlOf(c).c_str(), reason.c_str());
  if (c->open) noteFailure(c->port, reason);
}

static BOOL sendBytes(Connection *c, const uint8_t *bytes, size_t length) {
  std::string reason;
  if (tcpConnection_send(&c->tcp, (const char *)bytes, length, SEND_TIMEOUT_MS, &reason))
    return TRUE;
  lose(c, reason, FALSE);
  return FALSE;
}

static void takeEvent(Connection *c, const TelnetEvent *event) {
  char name[96];
  serialTrace_note("%s: %s", urlOf(c).c_str(), telnetCodec_eventName(event, name, sizeof name));
  if (event->kind == TELNET_EVENT_NEGOTIATION && event->answer.length > 0)
    sendBytes(c, event->answer.bytes, event->answer.length);
  if (event->kind == TELNET_EVENT_COM_PORT && event->command <= COM_PORT_PURGE_DATA) {
    c->acks[event->command]++;
    c->lastAck[event->command] = event->value;
  }
  if (event->kind == TELNET_EVENT_ERROR)
    lose(c, std::string("the server broke Telnet: ") + event->error, TRUE);
  else if (event->kind == TELNET_EVENT_NEGOTIATION && c->negotiated &&
           telnetCodec_refusal(&c->codec) != NULL)
    lose(c, telnetCodec_refusal(&c->codec), TRUE);
}

// Keeps data bytes for the reads up to NETWORK_PORT_RECEIVE_HOLD and counts
// the rest, dropped as a local port's driver drops what overflows its queue.
// Only the waits on the server (the open, a rate change) receive without a
// read taking the bytes; what a unit sends then, before it has been asked
// anything, is purged anyway.
static void keep(Connection *c, const uint8_t *data, size_t length) {
  const size_t room = NETWORK_PORT_RECEIVE_HOLD - c->received.size();
  const size_t kept = length < room ? length : room;
  c->received.append((const char *)data, kept);
  if (kept < length && c->dropped == 0)
    serialTrace_note("%s: %d bytes received and unread: dropping what follows", urlOf(c).c_str(),
                     NETWORK_PORT_RECEIVE_HOLD);
  c->dropped += length - kept;
}

// One receive of up to timeoutMs: data bytes join c->received, Telnet events
// are traced and answered. Returns the count of data bytes, 0 when none came,
// -1 once the connection is gone.
static int receiveOnce(Connection *c, int timeoutMs) {
  if (c->gone) return -1;
  uint8_t raw[RECEIVE_CHUNK];
  std::string reason;
  const int got = tcpConnection_receive(&c->tcp, (char *)raw, sizeof raw, timeoutMs, &reason);
  if (got == TCP_RECEIVE_TIMEOUT) return 0;
  if (got < 0) {
    lose(c, reason, FALSE);
    return -1;
  }
  if (!c->telnet) {
    keep(c, raw, (size_t)got);
    return got;
  }
  uint8_t data[RECEIVE_CHUNK];
  int dataCount = 0;
  for (size_t offset = 0; offset < (size_t)got && !c->gone;) {
    size_t length = 0;
    TelnetEvent event;
    offset += telnetCodec_decode(&c->codec, raw + offset, (size_t)got - offset, data, sizeof data,
                                 &length, &event);
    keep(c, data, length);
    dataCount += (int)length;
    if (event.kind != TELNET_EVENT_NONE) takeEvent(c, &event);
  }
  return c->gone ? -1 : dataCount;
}

// Receives until done(c) holds or timeoutMs has passed; FALSE on timeout or
// when the connection is gone.
template <typename Done>
static BOOL receiveUntil(Connection *c, int timeoutMs, Done done) {
  const int64_t endMs = readDeadline_nowMs() + timeoutMs;
  while (!done(c)) {
    const int64_t left = endMs - readDeadline_nowMs();
    if (left <= 0 || receiveOnce(c, (int)left) < 0) return FALSE;
  }
  return TRUE;
}

// ---- Opening and closing ---------------------------------------------------------

// Whether the server has answered every SET-BAUDRATE sent: the last answer is
// then the one to the last question.
static bool allRatesAnswered(Connection *c) {
  return c->acks[COM_PORT_SET_BAUDRATE] >= c->ratesAsked;
}

// Asks the server the rate of its line (SET-BAUDRATE 0 changes nothing) and
// waits for the answer: a server that never acknowledges is found here, not
// at the first rate set.
static BOOL askLineRate(Connection *c) {
  TelnetMessage query;
  telnetCodec_setBaudRate(0, &query);
  serialTrace_note("%s sent SET-BAUDRATE 0 (asks the line's rate)", urlOf(c).c_str());
  const int64_t askedMs = readDeadline_nowMs();
  c->ratesAsked++;
  const BOOL answered =
      sendBytes(c, query.bytes, query.length) &&
      receiveUntil(c, NETWORK_PORT_ACK_TIMEOUT_MS, allRatesAnswered);
  if (answered) linkTiming_sample(&c->timing, (int)(readDeadline_nowMs() - askedMs));
  return answered;
}

// One attempt: the connection and, for rfc2217://, the negotiation. FALSE
// with the reason; c->gone tells a server that dropped the connection
// (c->broken: that broke Telnet, not worth dialling again).
static BOOL connectOnce(Connection *c, const PortAddress *address, std::string *reason) {
  const std::string url = portAddress_text(*address);
  c->received.clear();
  c->dropped = 0;
  c->gone = FALSE;
  c->broken = FALSE;
  c->negotiated = FALSE;
  memset(c->acks, 0, sizeof c->acks);
  c->ratesAsked = 0;
  memset(&c->timeouts, 0, sizeof c->timeouts);
  telnetCodec_init(&c->codec);
  c->lineRate = 0;
  c->lineDoneMs = 0;
  c->awaitingReply = FALSE;
  c->lastByteMs = 0;
  c->replyTail.clear();
  c->replyComplete = FALSE;
  const int64_t dialedMs = readDeadline_nowMs();
  if (!tcpConnection_open(&c->tcp, address->host.c_str(), address->tcpPort, reason)) {
    serialTrace_note("connect %s FAILED: %s", url.c_str(), reason->c_str());
    return FALSE;
  }
  // The TCP handshake is one round trip, the only one a raw socket can
  // measure without sending the unit a byte. For rfc2217:// the line rate's
  // acknowledgements measure it through the server itself (a handshake that
  // a tunnel or a proxy near us answers counts nearly nothing, and the
  // negotiation's answers may be the server's own opening, sent unasked).
  if (!c->telnet) linkTiming_sample(&c->timing, (int)(readDeadline_nowMs() - dialedMs));
  serialTrace_note("connect %s ok", url.c_str());
  BOOL negotiated = TRUE, acknowledged = TRUE;
  const char *refusal = NULL;
  if (c->telnet) {
    // The server has to take BINARY and COM-PORT-OPTION, or images would not
    // cross intact and no setting would ever reach the line.
    TelnetMessage opening;
    telnetCodec_opening(&c->codec, &opening);
    negotiated = sendBytes(c, opening.bytes, opening.length) &&
                 receiveUntil(c, NETWORK_PORT_ACK_TIMEOUT_MS,
                              [](Connection *k) { return !telnetCodec_openingPending(&k->codec); });
    refusal = negotiated ? telnetCodec_refusal(&c->codec) : NULL;
    c->negotiated = negotiated && refusal == NULL;
    if (c->negotiated) acknowledged = askLineRate(c);
  }
  // A server that cannot have the line drops the connection in its first
  // moments; over a raw socket that news takes the handshake's round trip to
  // come (Telnet's exchanges above have waited longer than that already).
  const int settleMs = SETTLE_MS + (c->telnet ? 0 : c->timing.slowestMs);
  if (negotiated && refusal == NULL && acknowledged && !c->gone)
    receiveUntil(c, settleMs, [](Connection *k) { return k->gone; });
  if (c->gone)
    *reason = c->broken ? c->lost : "connection dropped by the server";
  else if (!negotiated)
    *reason = "no answer to the Telnet negotiation within " +
              std::to_string(NETWORK_PORT_ACK_TIMEOUT_MS / 1000) + " s";
  else if (refusal != NULL)
    *reason = refusal;
  else if (!acknowledged)
    *reason = NO_ACK_TEXT " within " + std::to_string(NETWORK_PORT_ACK_TIMEOUT_MS / 1000) + " s";
  else
    return TRUE;
  serialTrace_note("%s FAILED: %s", url.c_str(), reason->c_str());
  tcpConnection_close(&c->tcp);
  return FALSE;
}

// What the measured round trips add to a reply's waits, in the trace: the
// reads' own timeouts stay as the driver set them there.
static void traceAllowances(Connection *c) {
  serialTrace_note("%s: round trips measured: %d, %d to %d ms; a reply may begin %d ms later and "
                   "pause %d ms longer than on a local line",
                   urlOf(c).c_str(), c->timing.samples, c->timing.fastestMs, c->timing.slowestMs,
                   linkTiming_firstByteMs(&c->timing), linkTiming_pauseMs(&c->timing));
}

// How long a setting's acknowledgement is waited for once the open has
// measured the link: the open's bound, or more on a slow link.
static int ackWaitMs(const Connection *c) {
  const int link = linkTiming_firstByteMs(&c->timing) + NETWORK_PORT_ACK_TIMEOUT_MS / 3;
  return link > NETWORK_PORT_ACK_TIMEOUT_MS ? link : NETWORK_PORT_ACK_TIMEOUT_MS;
}

// Whether a dial failed because nothing took the connection ("connection
// refused"; Windows says "... actively refused it").
static BOOL refusedConnection(const std::string &reason) {
  return reason.find("refused") != std::string::npos;
}

HANDLE networkPort_open(int port) {
  const PortAddress *address = portRegistry_address(port);
  if (address != NULL && address->kind != PORT_ADDRESS_RFC2217 &&
      address->kind != PORT_ADDRESS_SOCKET)
    address = NULL;
  int slot = 0;
  while (slot < CONNECTIONS && gConnections[slot].open) slot++;
  std::string reason = address == NULL ? "no such network port" : "too many network ports open";
  BOOL ok = FALSE;
  Connection *c = slot < CONNECTIONS ? &gConnections[slot] : NULL;
  if (address != NULL && c != NULL) {
    c->port = port;
    c->telnet = address->kind == PORT_ADDRESS_RFC2217;
    c->hasDcb = FALSE;
    c->replyEnd.clear();
    linkTiming_init(&c->timing);
    // A server still giving up the line of our previous connection drops the
    // next one at once (ser2net resets it) or refuses it until the line is
    // free (servers that take one connection at a time): either is tried
    // again for a while.
    const int64_t giveUpMs = readDeadline_nowMs() + REDIAL_WINDOW_MS;
    while (!(ok = connectOnce(c, address, &reason)) && (c->gone || refusedConnection(reason)) &&
           !c->broken && readDeadline_nowMs() < giveUpMs)
      Sleep(REDIAL_PAUSE_MS);
    if (!ok) noteFailure(port, reason);
  }
  if (!ok) {
    gConnectError.code = 0;
    snprintf(gConnectError.text, sizeof gConnectError.text, "%s", reason.c_str());
    return INVALID_HANDLE_VALUE;
  }
  serialTrace_note("%s round trip %d ms", portAddress_text(*address).c_str(), c->timing.slowestMs);
  traceAllowances(c);
  c->open = TRUE;
  return gConnections.start(slot);
}

const SystemError *networkPort_openError(void) { return &gConnectError; }

int networkPort_replyDelayMs(HANDLE handle) {
  const Connection *c = openConnection(handle);
  if (c == NULL) return 0;
  return linkTiming_firstByteMs(&c->timing) + linkTiming_pauseMs(&c->timing);
}

void networkPort_closeAllSockets(void) {
  for (int slot = 0; slot < CONNECTIONS; slot++) tcpConnection_close(&gConnections[slot].tcp);
}

size_t networkPort_held(HANDLE handle, uint64_t *dropped) {
  const Connection *c = openConnection(handle);
  *dropped = c != NULL ? c->dropped : 0;
  return c != NULL ? c->received.size() : 0;
}

BOOL networkPort_close(HANDLE handle) {
  Connection *c = connectionOf(handle);
  if (c == NULL) return FALSE;
  if (c->dropped > 0)
    serialTrace_note("%s: %llu received bytes dropped unread", urlOf(c).c_str(),
                     (unsigned long long)c->dropped);
  tcpConnection_close(&c->tcp);
  c->open = FALSE;
  return TRUE;
}

// ---- Settings --------------------------------------------------------------------

BOOL networkPort_setupComm(HANDLE handle) { return connectionOf(handle) != NULL; }

BOOL networkPort_setTimeouts(HANDLE handle, const COMMTIMEOUTS *timeouts) {
  Connection *c = connectionOf(handle);
  if (c != NULL) c->timeouts = *timeouts;
  return c != NULL;
}

// A setting as the trace names it: its acknowledgement's name without the word.
static std::string settingName(uint8_t command, uint32_t value) {
  TelnetEvent event;
  memset(&event, 0, sizeof event);
  event.kind = TELNET_EVENT_COM_PORT;
  event.command = command;
  event.value = value;
  char name[96];
  std::string text = telnetCodec_eventName(&event, name, sizeof name);
  const std::string word = " acknowledged";
  if (text.size() > word.size() && text.compare(text.size() - word.size(), word.size(), word) == 0)
    text.erase(text.size() - word.size());
  return text;
}

// Sends the COM-PORT-OPTION commands of `messages` in one piece, traced by name.
static BOOL sendSettings(Connection *c, const TelnetMessage *messages, const uint8_t *commands,
                         const uint32_t *values, int count) {
  std::string bytes;
  for (int i = 0; i < count; i++) {
    bytes.append((const char *)messages[i].bytes, messages[i].length);
    serialTrace_note("%s sent %s", urlOf(c).c_str(), settingName(commands[i], values[i]).c_str());
  }
  if (sendBytes(c, (const uint8_t *)bytes.data(), bytes.size())) return TRUE;
  setError(ERROR_CONNECTION_LOST);
  return FALSE;
}

// FALSE for a record the local port refuses as well.
static BOOL lineSettingsOf(const DCB *dcb, uint8_t *parity, uint8_t *stopSize) {
  switch (dcb->Parity) {
    case NOPARITY: *parity = COM_PORT_PARITY_NONE; break;
    case ODDPARITY: *parity = COM_PORT_PARITY_ODD; break;
    case EVENPARITY: *parity = COM_PORT_PARITY_EVEN; break;
    default: return FALSE;  // mark and space parity: not offered, as on the local port
  }
  switch (dcb->StopBits) {
    case ONESTOPBIT: *stopSize = COM_PORT_STOPSIZE_1; break;
    case TWOSTOPBITS: *stopSize = COM_PORT_STOPSIZE_2; break;
    default: return FALSE;
  }
  return dcb->ByteSize >= 5 && dcb->ByteSize <= 8 && dcb->BaudRate > 0;
}

static BOOL applyState(Connection *c, const DCB *dcb);

BOOL networkPort_setState(HANDLE handle, const DCB *dcb) {
  Connection *c = connectionOf(handle);
  return c != NULL && applyState(c, dcb);
}

// Sends the line settings of `dcb` and waits for the rate's acknowledgement,
// which measures one more round trip; kept for a session opened again.
static BOOL applyState(Connection *c, const DCB *dcb) {
  if (!c->telnet) {
    // The rate asked for is the server's only when the user said so (a
    // raw socket's detection asks at rate 0, "the server's, unknown").
    c->lineRate = dcb->BaudRate;
    c->dcb = *dcb;
    c->hasDcb = TRUE;
    serialTrace_note("%s: raw socket, the line settings stay the server's", urlOf(c).c_str());
    return TRUE;
  }
  uint8_t parity = 0, stopSize = 0;
  if (!lineSettingsOf(dcb, &parity, &stopSize)) {
    setError(ERROR_BAD_SETTING);
    return FALSE;
  }
  const BOOL handshake = dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
  uint8_t commands[6] = {COM_PORT_SET_BAUDRATE, COM_PORT_SET_DATASIZE, COM_PORT_SET_PARITY,
                         COM_PORT_SET_STOPSIZE, COM_PORT_SET_CONTROL};
  uint32_t values[6] = {
      dcb->BaudRate, dcb->ByteSize, parity, stopSize,
      (uint32_t)(handshake ? COM_PORT_CONTROL_FLOW_HARDWARE : COM_PORT_CONTROL_FLOW_NONE)};
  int count = 5;
  // DTR as the record wants it; RTS is left to the server's flow control.
  if (dcb->fDtrControl == DTR_CONTROL_ENABLE || dcb->fDtrControl == DTR_CONTROL_DISABLE) {
    commands[count] = COM_PORT_SET_CONTROL;
    values[count++] =
        dcb->fDtrControl == DTR_CONTROL_ENABLE ? COM_PORT_CONTROL_DTR_ON : COM_PORT_CONTROL_DTR_OFF;
  }
  TelnetMessage messages[6];
  telnetCodec_setBaudRate(dcb->BaudRate, &messages[0]);
  for (int i = 1; i < count; i++)
    telnetCodec_comPortCommand(commands[i], (uint8_t)values[i], &messages[i]);

  const int waitMs = ackWaitMs(c);
  const int64_t sentMs = readDeadline_nowMs();
  c->ratesAsked++;
  if (!sendSettings(c, messages, commands, values, count)) return FALSE;
  // At the rate the server already acknowledged no byte can leave at another
  // one: a change of handshake or DTR alone goes without waiting a round trip.
  if (dcb->BaudRate == c->lineRate) {
    c->dcb = *dcb;
    return TRUE;
  }
  const BOOL acknowledged = receiveUntil(c, waitMs, allRatesAnswered);
  if (acknowledged) linkTiming_sample(&c->timing, (int)(readDeadline_nowMs() - sentMs));
  if (!acknowledged) {
    const std::string why = NO_ACK_TEXT " " + std::to_string(dcb->BaudRate) + " within " +
                            std::to_string((waitMs + 999) / 1000) + " s";
    serialTrace_note("%s: %s", urlOf(c).c_str(), why.c_str());
    if (!c->gone) noteFailure(c->port, why);
    setError(c->gone ? ERROR_CONNECTION_LOST : ERROR_BAD_SETTING);
    return FALSE;
  }
  // The server answers with the rate its line really runs at.
  if (c->lastAck[COM_PORT_SET_BAUDRATE] != dcb->BaudRate) {
    noteFailure(c->port, "the server set its line to " +
                             std::to_string(c->lastAck[COM_PORT_SET_BAUDRATE]) +
                             " baud when asked for " + std::to_string(dcb->BaudRate));
    setError(ERROR_BAD_SETTING);
    return FALSE;
  }
  c->lineRate = dcb->BaudRate;
  c->dcb = *dcb;
  c->hasDcb = TRUE;
  return TRUE;
}

// Drops what has come from the server and what is on its way.
static void dropReceived(Connection *c) {
  for (int i = 0; i < PURGE_RECEIVES_MAX; i++) {
    c->received.clear();
    if (receiveOnce(c, 0) <= 0) break;
  }
  c->received.clear();
}

BOOL networkPort_purge(HANDLE handle, DWORD flags) {
  Connection *c = connectionOf(handle);
  if (c == NULL) return FALSE;
  const BOOL input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  const BOOL output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!input && !output) return TRUE;
  if (c->telnet) {
    const uint8_t command = COM_PORT_PURGE_DATA;
    const uint32_t value = input && output ? COM_PORT_PURGE_BOTH
                           : input         ? COM_PORT_PURGE_RX
                                           : COM_PORT_PURGE_TX;
    TelnetMessage message;
    telnetCodec_comPortCommand(command, (uint8_t)value, &message);
    if (!sendSettings(c, &message, &command, &value, 1)) return FALSE;
  }
  if (input) dropReceived(c);
  return TRUE;
}

BOOL networkPort_escape(HANDLE handle, DWORD function) {
  Connection *c = connectionOf(handle);
  if (c == NULL) return FALSE;
  uint32_t value = 0;
  switch (function) {
    case SETDTR: value = COM_PORT_CONTROL_DTR_ON; break;
    case CLRDTR: value = COM_PORT_CONTROL_DTR_OFF; break;
    case SETRTS: value = COM_PORT_CONTROL_RTS_ON; break;
    case CLRRTS: value = COM_PORT_CONTROL_RTS_OFF; break;
    default: setError(ERROR_NO_SUCH_FUNCTION); return FALSE;
  }
  if (!c->telnet) return TRUE;
  const uint8_t command = COM_PORT_SET_CONTROL;
  TelnetMessage message;
  telnetCodec_comPortCommand(command, (uint8_t)value, &message);
  return sendSettings(c, &message, &command, &value, 1);
}

// ---- Transfers -------------------------------------------------------------------

// Moves up to `room` received bytes to `out`; returns the count.
static DWORD takeReceived(Connection *c, uint8_t *out, DWORD room) {
  const DWORD count = c->received.size() < room ? (DWORD)c->received.size() : room;
  memcpy(out, c->received.data(), count);
  c->received.erase(0, count);
  return count;
}

// Keeps the last bytes read since the last write and tells whether they end
// the reply. Pieces may split the ending anywhere: the link keeps their order.
static void noteReplyBytes(Connection *c, const uint8_t *bytes, DWORD count) {
  if (c->replyEnd.empty() || c->replyComplete) return;
  c->replyTail.append((const char *)bytes, count);
  const size_t keep = c->replyEnd.size();
  if (c->replyTail.size() > keep) c->replyTail.erase(0, c->replyTail.size() - keep);
  c->replyComplete = c->replyTail == c->replyEnd;
}

void networkPort_expectReplyEnd(HANDLE handle, const char *ending) {
  Connection *c = connectionOf(handle);
  if (c == NULL) return;
  c->replyEnd = ending != NULL ? ending : "";
  c->replyTail.clear();
  c->replyComplete = FALSE;
}

BOOL networkPort_read(HANDLE handle, void *buffer, DWORD count, DWORD *done) {
  if (done != NULL) *done = 0;
  Connection *c = connectionOf(handle);
  if (c == NULL) return FALSE;
  if (count == 0) return TRUE;
  // The link's round trip and spread on top of the driver's timeouts.
  const int64_t startMs = readDeadline_nowMs();
  const int64_t silentMs = startMs - c->lastByteMs;
  const COMMTIMEOUTS stretched = linkTiming_stretch(
      &c->timing, &c->timeouts,
      c->replyComplete ? LINK_TIMING_REPLY_COMPLETE
      : c->awaitingReply ? -1
      : silentMs > INT32_MAX ? INT32_MAX : (int)silentMs);
  const COMMTIMEOUTS *t = &stretched;
  const BOOL immediate = t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == 0 &&
                         t->ReadTotalTimeoutConstant == 0;
  ReadDeadline deadline;
  readDeadline_start(&deadline, startMs, immediate ? 0 : t->ReadIntervalTimeout,
                     t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant, count);
  uint8_t *out = (uint8_t *)buffer;
  DWORD got = 0;
  BOOL first = TRUE;
  while (got < count) {
    const DWORD taken = takeReceived(c, out + got, count - got);
    if (taken > 0) {
      const BOOL wasComplete = c->replyComplete;
      noteReplyBytes(c, out + got, taken);
      got += taken;
      c->awaitingReply = FALSE;
      c->lastByteMs = readDeadline_nowMs();
      // The reply's last byte is in: the rest of the read keeps only the
      // windows asked for, as on a local line, counted from the read's start.
      if (c->replyComplete && !wasComplete && !immediate)
        readDeadline_start(&deadline, startMs, c->timeouts.ReadIntervalTimeout,
                           c->timeouts.ReadTotalTimeoutMultiplier,
                           c->timeouts.ReadTotalTimeoutConstant, count);
      readDeadline_byteReceived(&deadline, c->lastByteMs);
      continue;
    }
    if (c->gone) {
      setError(ERROR_CONNECTION_LOST);
      if (got == 0) return FALSE;
      break;  // the bytes first, the failure at the next read
    }
    const int wait = immediate ? 0 : readDeadline_remainingMs(&deadline, readDeadline_nowMs());
    if (wait == 0 && !first) break;  // a deadline has passed
    first = FALSE;
    const int received = receiveOnce(c, wait < 0 ? UNLIMITED_WAIT_MS : wait);
    if (received == 0 && wait == 0) break;
  }
  if (done != NULL) *done = got;
  return TRUE;
}

// Waits until the line behind the server has at most NETWORK_PORT_WRITE_LEAD_MS
// of the bytes written so far left to send, at 10 bits a byte (8N1).
static void keepPaceWithLine(Connection *c, DWORD count) {
  if (c->lineRate == 0) return;
  const int64_t nowMs = readDeadline_nowMs();
  if (c->lineDoneMs < nowMs) c->lineDoneMs = nowMs;
  c->lineDoneMs += (int64_t)count * 10 * 1000 / (int64_t)c->lineRate;
  const int64_t waitMs = c->lineDoneMs - NETWORK_PORT_WRITE_LEAD_MS - nowMs;
  if (waitMs > 0) Sleep((DWORD)waitMs);
}

BOOL networkPort_write(HANDLE handle, const void *buffer, DWORD count, DWORD *done) {
  if (done != NULL) *done = 0;
  Connection *c = connectionOf(handle);
  if (c == NULL) return FALSE;
  if (c->gone) {
    setError(ERROR_CONNECTION_LOST);
    return FALSE;
  }
  const uint8_t *data = (const uint8_t *)buffer;
  std::string escaped;
  if (c->telnet) {
    escaped.resize((size_t)count * 2);
    escaped.resize(telnetCodec_escape(data, count, (uint8_t *)&escaped[0], escaped.size(), NULL));
    data = (const uint8_t *)escaped.data();
  }
  if (!sendBytes(c, data, c->telnet ? escaped.size() : count)) {
    setError(ERROR_CONNECTION_LOST);
    return FALSE;
  }
  keepPaceWithLine(c, count);
  c->awaitingReply = TRUE;
  c->replyTail.clear();
  c->replyComplete = FALSE;
  if (done != NULL) *done = count;
  return TRUE;
}

// ---- A session lost and opened again --------------------------------------------

int networkPort_resume(HANDLE handle) {
  Connection *c = connectionOf(handle);
  if (c == NULL) return 0;
  if (!c->gone) receiveOnce(c, 0);  // a server that hung up while nothing was read
  if (!c->gone) return 0;
  if (c->broken) return -1;  // a server that broke Telnet is not asked again
  const PortAddress *address = portRegistry_address(c->port);
  const COMMTIMEOUTS timeouts = c->timeouts;
  const DCB dcb = c->dcb;
  const BOOL hasDcb = c->hasDcb;
  tcpConnection_close(&c->tcp);
  // A server that frees its line slowly refuses or drops a new connection
  // for a while: dialled again until the window closes.
  const int64_t giveUpMs = readDeadline_nowMs() + RESUME_WINDOW_MS + linkTiming_firstByteMs(&c->timing);
  std::string reason;
  BOOL ok = FALSE;
  while (!(ok = connectOnce(c, address, &reason)) && !c->broken && readDeadline_nowMs() < giveUpMs)
    Sleep(REDIAL_PAUSE_MS * 2);
  c->timeouts = timeouts;
  if (ok && hasDcb) ok = applyState(c, &dcb);
  if (!ok) {
    c->gone = TRUE;
    noteFailure(c->port, reason.empty() ? c->lost : reason);
    return -1;
  }
  traceAllowances(c);
  return 1;
}

BOOL networkPort_lost(HANDLE handle) {
  const Connection *c = openConnection(handle);
  return c != NULL && c->gone;
}

// ---- The two port kinds ----------------------------------------------------------

static HANDLE openNetwork(const PortDescription &port, const PortOpenRequest &request,
                          SystemError *error) {
  (void)request;  // the address is the port's; the connection traces itself
  HANDLE handle = networkPort_open(port.number);
  *error = handle == INVALID_HANDLE_VALUE ? gConnectError : SystemError{0, ""};
  return handle;
}

static BOOL setupNetwork(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  (void)inQueue;  // the server's queues are its own
  (void)outQueue;
  return networkPort_setupComm(handle);
}
static BOOL timeoutsNetwork(HANDLE handle, COMMTIMEOUTS *timeouts) {
  return networkPort_setTimeouts(handle, timeouts);
}
static BOOL stateNetwork(HANDLE handle, DCB *dcb) { return networkPort_setState(handle, dcb); }

// rfc2217:// and socket:// differ inside the connection (c->telnet), chosen
// at its open; the two kinds share their operations.
static const PortInterface kRfc2217 = {
    "rfc2217",        openNetwork,      networkPort_close, setupNetwork,
    timeoutsNetwork,  stateNetwork,     networkPort_purge, networkPort_escape,
    networkPort_read, networkPort_write, networkPort_replyDelayMs, networkPort_failure};
static const PortInterface kSocket = {
    "socket",         openNetwork,      networkPort_close, setupNetwork,
    timeoutsNetwork,  stateNetwork,     networkPort_purge, networkPort_escape,
    networkPort_read, networkPort_write, networkPort_replyDelayMs, networkPort_failure};

const PortInterface *networkPort_interface(PortKind kind) {
  return kind == PORT_KIND_SOCKET ? &kSocket : &kRfc2217;
}
