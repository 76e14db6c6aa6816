// How long replies take on a link to a terminal server, and how far a read's
// windows stretch for it.
//
// A unit's reply to a command crosses the link twice, so its first byte comes
// one round trip later than on a local line; and the link cuts it into pieces
// that each take their own time, so the pauses inside a reply grow by the
// link's spread (order is kept: a piece that leaves early but travels slowly
// holds back the ones after it). The round trips measured so far (the open's
// exchanges with the server, each acknowledged setting) give the slowest
// round trip seen and the spread between the fastest and the slowest.
//
// A few samples understate the spread: the spread assumed is never less than
// a third of the slowest round trip (delays of d +/- 0.3 d each way, which
// cellular and satellite links stay within, give pauses up to 0.6 d inside a
// reply). Two allowances follow:
//   pause = spread + LINK_TIMING_FLOOR_MS
//   first = slowest round trip + pause
// A read that waits for the first byte of a reply gets `first` on its total
// time and `pause` on its interval. A read after bytes came gets `pause` on
// its interval, and on its total only what of `pause` the silence since the
// last byte has not yet covered: a read that ended on a silence of its
// interval has seen the reply end, and the read after it waits only its own
// time, as on a local line. A read that asks for nothing to wait (immediate)
// stays as it is, and so does a read after the reply was recognised whole by
// its content (LINK_TIMING_REPLY_COMPLETE): nothing of it is still on the
// link, so no allowance is owed.
//
// Pure arithmetic, tested on its own; the network port keeps one per
// connection.
#ifndef LINKTIMING_H
#define LINKTIMING_H

#include "platform/Platform.h"

#define LINK_TIMING_FLOOR_MS 100  // a tunnel or a proxy that answers for the server
#define LINK_TIMING_REPLY_COMPLETE (-2)  // silentMs: the reply's last byte is in

typedef struct LinkTiming {
  int samples;  // round trips measured
  int fastestMs, slowestMs;
} LinkTiming;

void linkTiming_init(LinkTiming *t);
// One more round trip measured, in milliseconds.
void linkTiming_sample(LinkTiming *t, int roundTripMs);
// What a pause inside a reply may grow by.
int linkTiming_pauseMs(const LinkTiming *t);
// What the first byte of a reply may take beyond its time on a local line.
int linkTiming_firstByteMs(const LinkTiming *t);
// The timeouts a read on the link runs with for the timeouts asked for:
// silentMs is how long ago the last byte came, or -1 when nothing has been
// received since the last write (the read awaits a reply's first byte), or
// LINK_TIMING_REPLY_COMPLETE.
COMMTIMEOUTS linkTiming_stretch(const LinkTiming *t, const COMMTIMEOUTS *asked, int silentMs);

#endif  // LINKTIMING_H
