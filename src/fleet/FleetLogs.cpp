// The units' log and trace files: names and readable transcripts.
#include "fleet/FleetLogs.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "platform/Files.h"
#include "serial/PortDescription.h"

// PATH with SUFFIX before its extension.
static std::string withSuffix(const std::string &path, const std::string &suffix) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    dot = path.size();  // no extension (a leading dot starts a name, not an extension)
  return path.substr(0, dot) + suffix + path.substr(dot);
}

std::string fleet_numberedName(const std::string &path, int number) {
  return number <= 1 ? path : withSuffix(path, "-" + std::to_string(number));
}

// A network port's name holds its host's, up to 253 characters, a device's
// its path, up to PORT_ADDRESS_DEVICE_MAX, and a file
// name takes 255 in all: a longer name keeps its head and its tail (where the
// TCP port is) around a hash of the whole, so that cut names stay apart.
#define PORT_FILE_NAME_MAX 96
#define PORT_FILE_NAME_TAIL 24

static std::string boundedPortFileName(int port) {
  const std::string name = portDescription_of(port).fileName;
  if (name.size() <= PORT_FILE_NAME_MAX) return name;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  char hex[16];
  snprintf(hex, sizeof hex, "-%08x-", (unsigned)hash);
  const size_t head = PORT_FILE_NAME_MAX - PORT_FILE_NAME_TAIL - strlen(hex);
  return name.substr(0, head) + hex + name.substr(name.size() - PORT_FILE_NAME_TAIL);
}

std::string fleet_portFileName(const std::string &path, int port) {
  return withSuffix(path, "-" + boundedPortFileName(port));
}

// A console transcript as a person reads it: each line as a terminal leaves
// it (a backspace moves back over what the next characters overwrite, so a
// percentage counting up ends as its last value; blanks that erased text past
// where the line ended are dropped), and every line end ("\r\n", "\n\r", or
// either alone) written as LINEEND.
std::string fleet_readableText(const std::string &raw, const char *lineEnd) {
  std::string text, line;
  size_t cursor = 0;
  auto takeLine = [&](bool ended) {
    if (line.find_first_not_of(' ', cursor) == std::string::npos) line.resize(cursor);
    text += line;
    if (ended) text += lineEnd;
    line.clear();
    cursor = 0;
  };
  for (size_t i = 0; i < raw.size(); i++) {
    const char c = raw[i];
    if (c == '\n' || c == '\r') {
      if (i + 1 < raw.size() && (raw[i + 1] == '\n' || raw[i + 1] == '\r') && raw[i + 1] != c) i++;
      takeLine(true);
    } else if (c == '\b') {
      if (cursor > 0) cursor--;
    } else if (cursor < line.size()) {
      line[cursor++] = c;
    } else {
      line += c;
      cursor++;
    }
  }
  if (!line.empty()) takeLine(false);
  return text;
}

std::string fleet_nativePath(const std::string &path) {
  std::string native = path;
  for (char &c : native)
    if (c == '/') c = FILES_SEPARATOR;
  return native;
}
