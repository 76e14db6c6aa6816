// The tool's read-only queries over a pseudo-terminal, the test playing the
// unit: a reply is read whole, and a line that keeps talking cannot hold a
// query for longer than its bound.
#include <stdlib.h>
#include <termios.h>

#include <string>
#include <thread>

#include "PtyFixture.h"
#include "updater/TessaranFwUpgrade.h"
#include "updater/UnitQueries.h"

namespace {

class UnitQueries : public OpenUnitTest {};

TEST_F(UnitQueries, VersionReplyIsBoundedInTime) {
  const std::string version = "1.0.3 XC7A35 1.3 1\r\n>>";
  struct Case {
    const char *what;
    int byteEveryMs;  // 0: the whole reply at once
    int talkForMs;    // how long the line keeps sending the reply over and over
    BOOL parsed;
    long long atMostMs;
  } cases[] = {
      {"at once", 0, 0, TRUE, 2500},
      {"a byte every 20 ms", 20, 0, TRUE, 2500},
      // A unit that answered detection and then trickles: before the bound it
      // held the query until it stopped talking.
      {"a byte every 300 ms", 300, 9000, FALSE, queryReplyWindowMs(1000) + 2 * 1000 + 500},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    peer = std::thread([this, c, version] {
      readFor(unit->master, 9, 2000);  // "%%%fw -v\n\r"
      if (c.byteEveryMs == 0) {
        writeAll(unit->master, version);
        return;
      }
      const long long start = nowMs();
      for (size_t k = 0; k < version.size() || nowMs() - start < c.talkForMs; k++) {
        writeAll(unit->master, std::string(1, version[k % version.size()]));
        sleepMs(c.byteEveryMs);
      }
    });
    UnitInfo info;
    const long long start = nowMs();
    EXPECT_EQ(queryVersions(&info), c.parsed);
    EXPECT_LE(nowMs() - start, c.atMostMs);
    if (c.parsed) {
      EXPECT_EQ(info.firmware + " " + info.fpgaFamily, "1.0.3 XC7A35");
    }
    peer.join();
    sleepMs(50);
    tcflush(unit->slave, TCIFLUSH);  // what the query left unread goes
  }
}

}  // namespace
