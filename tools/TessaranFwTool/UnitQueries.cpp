#include "UnitQueries.h"

#include <stdio.h>
#include <string.h>

#include "ComPortAPI.h"
#include "Detection.h"
#include "TessaranFwUpgrade.h"

#define QUERY_READ_TIMEOUT_MS 1000
#define QUERY_REPLY_LIMIT 4096  // a unit that keeps talking is cut off here

BOOL findUnit(int port, int baud) {
  ComPortAPI_SetHardwareFlowControl(FALSE);
  const int firstPort = port > 0 ? port : DETECTION_FIRST_PORT;
  const int lastPort = port > 0 ? port : DETECTION_LAST_PORT;
  if (baud > 0) return detectUnitOn(firstPort, lastPort, &baud, 1);
  return detectUnitOn(firstPort, lastPort, kDetectionBaudRates, DETECTION_RATE_COUNT);
}

// Sends a command and collects its reply until a read brings nothing.
static std::string ask(const char *command) {
  ComPortAPI_SetReadingTimeoutInMs(QUERY_READ_TIMEOUT_MS);
  if (!sendCommand(command, FALSE, FALSE, NULL)) return std::string();
  std::string reply;
  char piece[512];
  for (;;) {
    int count = 0;
    ComPortAPI_ReadCOM(piece, (int)sizeof piece, &count);
    if (count <= 0 || count > (int)sizeof piece) break;
    reply.append(piece, (size_t)count);
    if (reply.size() >= QUERY_REPLY_LIMIT) break;
  }
  return reply;
}

BOOL queryVersions(UnitInfo *info) {
  std::string reply = ask("%fw -v");
  int v = 0, r = 0, s = 0, fv = 0, fr = 0, device = 0;
  char family[32] = "";
  if (sscanf(reply.c_str(), "%d.%d.%d %31s %d.%d %d", &v, &r, &s, family, &fv, &fr, &device) !=
      7)
    return FALSE;
  char text[64];
  snprintf(text, sizeof text, "%d.%d.%d", v, r, s);
  info->firmware = text;
  info->fpgaFamily = family;
  snprintf(text, sizeof text, "%d.%d", fv, fr);
  info->fpgaVersion = text;
  snprintf(text, sizeof text, "%d", device);
  info->fpgaDevice = text;
  return TRUE;
}

BOOL queryType(UnitInfo *info) {
  std::string reply = ask("%fw -p");
  if (reply == VALIDATE_TX_PRODUCT_ID_STRING) info->type = "TX";
  else if (reply == VALIDATE_RX_PRODUCT_ID_STRING) info->type = "RX";
  else return FALSE;
  return TRUE;
}

void queryUnit(UnitInfo *info) {
  info->port = gComPortNumber;
  info->baud = gBaudRate;
  info->device = portDevice(gComPortNumber);
  queryVersions(info);
  queryType(info);
}
