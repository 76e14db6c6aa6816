#include "ToolCommands.h"
#include "platform/ExitStatus.h"
#include "platform/StandardStreams.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#endif

int main(int argc, char **argv) {
  // Before anything is opened: a closed console descriptor must not become a port's or a log's.
  if (!standardStreams_ensureOpen()) return EXIT_UPDATE_FAILED;
#ifdef _WIN32
  // Every command writes its bytes as printed, as the updater does: the
  // update's transcript carries its own line ends, and the tool's own lines
  // end in LF, redirected or not, whichever the command. In the CRT's text
  // mode some commands would write CRLF and others LF. Returns -1 upon
  // failure: that stream then stays in text mode.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  return runTool(argc, argv);
}
