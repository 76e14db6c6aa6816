#include "serial/LinkTiming.h"

#define SPREAD_SHARE_OF_SLOWEST 3  // the spread assumed is at least slowest / 3

void linkTiming_init(LinkTiming *t) {
  t->samples = 0;
  t->fastestMs = 0;
  t->slowestMs = 0;
}

void linkTiming_sample(LinkTiming *t, int roundTripMs) {
  if (roundTripMs < 0) roundTripMs = 0;
  if (t->samples == 0 || roundTripMs < t->fastestMs) t->fastestMs = roundTripMs;
  if (t->samples == 0 || roundTripMs > t->slowestMs) t->slowestMs = roundTripMs;
  t->samples++;
}

int linkTiming_pauseMs(const LinkTiming *t) {
  int spread = t->slowestMs - t->fastestMs;
  if (spread < t->slowestMs / SPREAD_SHARE_OF_SLOWEST) spread = t->slowestMs / SPREAD_SHARE_OF_SLOWEST;
  return spread + LINK_TIMING_FLOOR_MS;
}

int linkTiming_firstByteMs(const LinkTiming *t) { return t->slowestMs + linkTiming_pauseMs(t); }

// A window of `ms` grown by `extraMs`; 0 (no limit) and MAXDWORD stay as they are.
static DWORD grown(DWORD ms, int extraMs) {
  if (ms == 0 || ms == MAXDWORD) return ms;
  const unsigned long long sum = (unsigned long long)ms + (unsigned long long)extraMs;
  return sum >= MAXDWORD ? MAXDWORD - 1 : (DWORD)sum;
}

COMMTIMEOUTS linkTiming_stretch(const LinkTiming *t, const COMMTIMEOUTS *asked, int silentMs) {
  COMMTIMEOUTS stretched = *asked;
  const BOOL immediate = asked->ReadIntervalTimeout == MAXDWORD &&
                         asked->ReadTotalTimeoutMultiplier == 0 &&
                         asked->ReadTotalTimeoutConstant == 0;
  if (immediate || silentMs == LINK_TIMING_REPLY_COMPLETE) return stretched;
  const int pause = linkTiming_pauseMs(t);
  stretched.ReadIntervalTimeout = grown(asked->ReadIntervalTimeout, pause);
  // Both total fields 0: no total limit, which stays so.
  if (asked->ReadTotalTimeoutConstant != 0 || asked->ReadTotalTimeoutMultiplier != 0) {
    int extra = silentMs < 0 ? linkTiming_firstByteMs(t) : pause - silentMs;
    if (extra < 0) extra = 0;
    const unsigned long long sum =
        (unsigned long long)asked->ReadTotalTimeoutConstant + (unsigned long long)extra;
    stretched.ReadTotalTimeoutConstant = sum >= MAXDWORD ? MAXDWORD - 1 : (DWORD)sum;
  }
  return stretched;
}
