// What the tool's port commands share: finding the unit as the updater does
// (or on the given port and rate), and the read-only queries that learn its
// type and versions. Only "%help -c version", "%fw -v" and "%fw -p" are sent.
#ifndef UNITQUERIES_H
#define UNITQUERIES_H

#include <string>

#include "platform/Platform.h"
#include "updater/UnitReplies.h"

// Detection's scan: every port and rate when port / baud are 0, otherwise
// only the given one. Without the CTS handshake, as the updater's detection.
// On success the port stays open at the unit's rate (gComPortNumber, gBaudRate).
BOOL findUnit(int port, int baud);
// Opens COMport at baud, as detection leaves the port where the unit has just
// answered (gComPortNumber, gBaudRate set), without asking again: for a unit
// that answered detection in another process a moment ago. FALSE when the
// port cannot be opened.
BOOL openUnit(int port, int baud);

// Sends "%fw -v" and parses "<fw> <family> <fpga> <device>" into info.
// Returns FALSE when no reply parsed. Each query is bounded in time (see
// queryReplyWindowMs): a line that keeps talking gives no reply.
BOOL queryVersions(UnitInfo *info);
// Sends "%fw -p" and tells TX from RX. Returns FALSE when neither answered.
BOOL queryType(UnitInfo *info);
// Both queries on the unit found by findUnit; port, baud and device filled in.
void queryUnit(UnitInfo *info);

// From now on each read of a query lasts at most readTimeoutMs (plus a
// network port's round trip) and a reply is complete once it ends in the
// unit's prompt, without waiting for the line to fall silent: a unit that
// answers at once is asked in a fraction of a second (update-all --watch
// checks its ports often). 0: back to the default (1 s, until silence).
void setQuickQueries(int readTimeoutMs);

// The latest start, from the start of a query's collection, of a read that may
// still bring part of its reply, for a read timeout of readTimeoutMs. A read
// begun later that still brings bytes ends the collection without a reply.
long long queryReplyWindowMs(int readTimeoutMs);

#endif  // UNITQUERIES_H
