#include "updater/UnitReplies.h"

#include <stdio.h>

#include "serial/UnitExchange.h"

bool parseVersionReply(const std::string &reply, UnitInfo *info) {
  int v = 0, r = 0, s = 0, fv = 0, fr = 0, device = 0;
  char family[32] = "";
  // The reply is read as text: it ends at its first NUL byte.
  if (sscanf(reply.c_str(), "%d.%d.%d %31s %d.%d %d", &v, &r, &s, family, &fv, &fr, &device) != 7)
    return false;
  char text[64];
  snprintf(text, sizeof text, "%d.%d.%d", v, r, s);
  info->firmware = text;
  info->fpgaFamily = family;
  snprintf(text, sizeof text, "%d.%d", fv, fr);
  info->fpgaVersion = text;
  snprintf(text, sizeof text, "%d", device);
  info->fpgaDevice = text;
  return true;
}

bool parseTypeReply(const std::string &reply, UnitInfo *info) {
  if (reply == VALIDATE_TX_PRODUCT_ID_STRING) info->type = "TX";
  else if (reply == VALIDATE_RX_PRODUCT_ID_STRING) info->type = "RX";
  else return false;
  return true;
}
