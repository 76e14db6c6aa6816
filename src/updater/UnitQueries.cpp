#include "updater/UnitQueries.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>

#include "platform/PortList.h"
#include "serial/ComPortAPI.h"
#include "serial/PortDescription.h"
#include "serial/UpdateProgress.h"
#include "updater/Detection.h"
#include "updater/TessaranFwUpgrade.h"

#define QUERY_READ_TIMEOUT_MS 1000
#define QUERY_REPLY_LIMIT 4096  // a unit that keeps talking is cut off here

BOOL findUnit(int port, int baud) {
  ComPortAPI_SetHardwareFlowControl(FALSE);
  const int firstPort = port > 0 ? port : DETECTION_FIRST_PORT;
  const int lastPort = port > 0 ? port : DETECTION_LAST_PORT;
  return detectUnitOn(firstPort, lastPort, baud > 0 ? baud : 0);
}

BOOL openUnit(int port, int baud) {
  ComPortAPI_SetHardwareFlowControl(FALSE);
  // No port is open here: this only stores the rate for the open.
  ComPortAPI_SetBaudRate(baud);
  if (!ComPortAPI_OpenCOM(port)) return FALSE;  // the driver has printed why
  gComPortNumber = port;
  gBaudRate = baud;
  // What detection tells its listeners when the unit answers.
  updateProgress_fact(UPDATE_FACT_PORT, std::to_string(port).c_str());
  updateProgress_fact(UPDATE_FACT_BAUD, std::to_string(baud).c_str());
  return TRUE;
}

// A reply ends when the line falls silent, as in the updater's exchange, so a
// line that never does (a unit stuck printing, a device that answered
// detection by chance and then trickles a byte now and then) would hold a
// query for as long as it talks, up to the size limit: minutes at a byte
// every few hundred ms. The collection is therefore bounded the same way:
// every read lasts at most T (the interval and total timeouts are equal), the
// reply begins within T, its longest form (the type reply, well under
// QUERY_LONGEST_REPLY_BYTES) takes at most 64 / 120 s = 533 ms at the slowest
// rate the tool talks at (1200 baud), doubled for gaps between characters, and
// one more T is allowed for a pause between pieces. A read begun later than
//     T + 2 x 533 ms + T
// that still brings bytes belongs to a line that keeps talking: the query
// gives no reply. With T = 1 s one query then lasts at most about 5 s.
#define QUERY_LONGEST_REPLY_BYTES 64
#define QUERY_SLOWEST_RATE_BYTES_PER_S 120  // 1200 baud, start + 8 data + stop bits
#define QUERY_REPLY_LINE_TIME_MS (QUERY_LONGEST_REPLY_BYTES * 1000 / QUERY_SLOWEST_RATE_BYTES_PER_S)

static_assert(sizeof VALIDATE_TX_PRODUCT_ID_STRING <= QUERY_LONGEST_REPLY_BYTES &&
                  sizeof VALIDATE_RX_PRODUCT_ID_STRING <= QUERY_LONGEST_REPLY_BYTES,
              "the bound assumes the type reply fits QUERY_LONGEST_REPLY_BYTES");

long long queryReplyWindowMs(int readTimeoutMs) {
  return 2LL * readTimeoutMs + 2LL * QUERY_REPLY_LINE_TIME_MS;
}

static long long monotonicMs(void) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static int gQuickReadMs = 0;  // setQuickQueries

void setQuickQueries(int readTimeoutMs) { gQuickReadMs = readTimeoutMs > 0 ? readTimeoutMs : 0; }

static bool endsInPrompt(const std::string &reply) {
  return reply.size() >= 4 && reply.compare(reply.size() - 4, 4, "\r\n>>") == 0;
}

// Sends a command and collects its reply until a read brings nothing (quick
// queries: or the reply ends in the prompt). A reply still arriving after the
// time bound is no reply (empty); one that reaches the size limit is cut off
// there.
static std::string ask(const char *command) {
  // A network port stretches its reads by the link's round trip itself.
  const int readMs = gQuickReadMs > 0 ? gQuickReadMs : QUERY_READ_TIMEOUT_MS;
  ComPortAPI_SetReadingTimeoutInMs(readMs);
  // A session its server ended and that could not be opened again was said
  // once, where it was lost: asking again would only repeat the write's error.
  if (ComPortAPI_SessionLost()) return std::string();
  if (!sendCommand(command, FALSE, FALSE, NULL)) return std::string();
  const long long startMs = monotonicMs();
  // A network port's round trip comes on top, as in the exchange's own window.
  const long long windowMs = queryReplyWindowMs(readMs) + ComPortAPI_ReplyDelayMs();
  std::string reply;
  char piece[512];
  for (;;) {
    int count = 0;
    const bool lateRead = monotonicMs() - startMs > windowMs;
    ComPortAPI_ReadCOM(piece, (int)sizeof piece, &count);
    if (count <= 0 || count > (int)sizeof piece) break;
    if (lateRead) return std::string();  // still talking
    reply.append(piece, (size_t)count);
    if (reply.size() >= QUERY_REPLY_LIMIT || (gQuickReadMs > 0 && endsInPrompt(reply))) break;
  }
  return reply;
}

BOOL queryVersions(UnitInfo *info) { return parseVersionReply(ask("%fw -v"), info) ? TRUE : FALSE; }

BOOL queryType(UnitInfo *info) { return parseTypeReply(ask("%fw -p"), info) ? TRUE : FALSE; }

void queryUnit(UnitInfo *info) {
  info->port = gComPortNumber;
  info->baud = gBaudRate;
  // A network port has no device here: the URL says where the unit is.
  info->device = portDescription_of(gComPortNumber).device;
  queryVersions(info);
  queryType(info);
}
