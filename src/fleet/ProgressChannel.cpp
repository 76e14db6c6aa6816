// The progress channel: update events as lines, written by the child and read
// back by the parent.
#include "fleet/ProgressChannel.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "interrupts/Interrupts.h"
#include "platform/Files.h"
#include "platform/Subprocess.h"

static std::string oneLine(const char *text) {
  std::string value = text != NULL ? text : "";
  for (char &c : value)
    if (c == '\n' || c == '\r') c = ' ';
  return value;
}

std::string progressChannel_factLine(const char *key, const char *value) {
  return "fact " + oneLine(key) + " " + oneLine(value) + "\n";
}

std::string progressChannel_line(const UpdateEvent &event) {
  switch (event.kind) {
    case UPDATE_EVENT_STEP: return std::string("step ") + updateProgress_stepName(event.step) + "\n";
    case UPDATE_EVENT_PERCENT: return "percent " + std::to_string(event.percent) + "\n";
    case UPDATE_EVENT_FACT: return progressChannel_factLine(event.key, event.value);
  }
  return std::string();
}

// ---- Child side ----------------------------------------------------------------------

static intptr_t gChannel = 0;
static volatile bool gAttached = false;
static bool gConsoleFailed = false;

void progressChannel_send(const std::string &line) {
  // A parent that stopped listening does not stop the update.
  if (gAttached && !subprocessChannel_write(gChannel, line.data(), line.size())) gAttached = false;
}

// Why the console cannot be written. stdio keeps only that a write failed,
// not why: errno still tells it when it holds an error that only a write can
// give, and a full file system is seen as such.
static int consoleWriteError(int code) {
#ifdef EDQUOT
  if (code == EDQUOT) return code;
#endif
  if (code == ENOSPC || code == EFBIG) return code;
  return files_onFullDisk(stdout) ? ENOSPC : 0;
}

// The console is the log a parent gave the child: a full disk must not pass
// unseen. The console is unbuffered (or flushed here).
void progressChannel_checkConsole(void) {
  if (gConsoleFailed) return;
  int code = errno;
  if (fflush(stdout) != 0) {
    code = errno;
  } else {
    if (!ferror(stdout) && !ferror(stderr)) return;
    code = consoleWriteError(code);
  }
  gConsoleFailed = true;
  progressChannel_send(
      progressChannel_factLine(UPDATE_FACT_LOG_ERROR, code != 0 ? strerror(code) : "a write to it failed"));
}

static void sendEvent(const UpdateEvent *event, void *) {
  progressChannel_checkConsole();
  progressChannel_send(progressChannel_line(*event));
}

// The interrupt's last line as a `state` fact. Runs inside the stop (a
// signal handler on POSIX): a buffer of its own, one write.
static void sendStopText(const char *text) {
  static const char kKey[] = "fact state ";
  char line[512];
  size_t n = 0;
  for (const char *c = kKey; *c != '\0'; c++) line[n++] = *c;
  while (*text == '\r' || *text == '\n') text++;
  for (; *text != '\0' && n < sizeof line - 1; text++)
    line[n++] = *text == '\r' || *text == '\n' ? ' ' : *text;
  while (n > sizeof kKey - 1 && line[n - 1] == ' ') n--;
  line[n++] = '\n';
  if (gAttached) subprocessChannel_write(gChannel, line, n);
}

bool progressChannel_attach(const char *channelNumber) {
  if (!subprocessChannel_open(channelNumber, &gChannel)) return false;
  gAttached = true;
  interruptHandling_setStopNote(sendStopText);
  return updateProgress_addListener(sendEvent, NULL) != FALSE;
}

void progressChannel_detach(void) {
  updateProgress_removeListener(sendEvent, NULL);
  interruptHandling_setStopNote(NULL);
  gAttached = false;
}

// ---- Parent side -----------------------------------------------------------------------

static bool parseLine(const std::string &line, ProgressLine *out) {
  size_t space = line.find(' ');
  if (space == std::string::npos) return false;
  std::string word = line.substr(0, space), rest = line.substr(space + 1);
  if (word == "step" && !rest.empty()) {
    out->kind = ProgressLine::STEP;
    out->step = fleet_stepOf(rest);
    out->stepText = rest;
    return true;
  }
  if (word == "percent") {
    char *end = NULL;
    long value = strtol(rest.c_str(), &end, 10);
    if (end == rest.c_str() || *end != '\0' || value < 0 || value > 100) return false;
    out->kind = ProgressLine::PERCENT;
    out->percent = (int)value;
    return true;
  }
  if (word == "fact") {
    size_t keyEnd = rest.find(' ');
    if (keyEnd == 0 || keyEnd == std::string::npos) return false;
    out->kind = ProgressLine::FACT;
    out->key = rest.substr(0, keyEnd);
    out->value = rest.substr(keyEnd + 1);
    return true;
  }
  return false;
}

std::vector<ProgressLine> ProgressReader::feed(const char *data, size_t length) {
  std::vector<ProgressLine> lines;
  pending_.append(data, length);
  size_t start = 0;
  for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    ProgressLine line;
    if (parseLine(pending_.substr(start, end - start), &line)) lines.push_back(line);
  }
  pending_.erase(0, start);
  // A child that never ends its line cannot make the parent hold more than this.
  if (pending_.size() > 4096) pending_.clear();
  return lines;
}
