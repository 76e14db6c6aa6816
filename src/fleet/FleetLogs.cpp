// The units' log and trace files: names and readable transcripts.
#include "fleet/FleetLogs.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

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
void ReadableText::takeLine(bool ended, std::string *text) {
  if (line_.find_first_not_of(' ', cursor_) == std::string::npos) line_.resize(cursor_);
  *text += line_;
  if (ended) *text += lineEnd_;
  line_.clear();
  cursor_ = 0;
}

void ReadableText::feed(const char *raw, size_t size, std::string *text) {
  for (size_t i = 0; i < size; i++) {
    const char c = raw[i];
    const char lastEnd = lastEnd_;
    lastEnd_ = 0;
    if (c == '\n' || c == '\r') {
      if (lastEnd != 0 && lastEnd != c) continue;  // the second half of "\r\n" or "\n\r"
      takeLine(true, text);
      lastEnd_ = c;
    } else if (c == '\b') {
      if (cursor_ > 0) cursor_--;
    } else if (cursor_ < line_.size()) {
      line_[cursor_++] = c;
    } else {
      if (line_.size() >= FLEET_READABLE_LINE_MAX) {
        *text += line_;
        line_.clear();
        cursor_ = 0;
      }
      line_ += c;
      cursor_++;
    }
  }
}

void ReadableText::end(std::string *text) {
  if (!line_.empty()) takeLine(false, text);
}

std::string fleet_readableText(const std::string &raw, const char *lineEnd) {
  ReadableText readable(lineEnd);
  std::string text;
  readable.feed(raw.data(), raw.size(), &text);
  readable.end(&text);
  return text;
}

bool fleet_rewriteReadable(const std::string &log, std::string *error) {
  // Read twice at once: once to make the text, once to compare it with, so
  // that an unchanged log is left as it is.
  FILE *in = files_openPlain(log), *again = files_openPlain(log), *out = NULL;
  std::string temp;
  bool ok = in != NULL && again != NULL && files_newBeside(log, &temp, error) &&
            (out = fopen(temp.c_str(), "wb")) != NULL;
  if (!ok && error->empty()) *error = strerror(errno);
  ReadableText readable(FILES_LINE_END);
  std::string text;
  std::vector<char> raw(1u << 16), before;
  bool same = true, atEnd = false;
  while (ok && !atEnd) {
    const size_t n = fread(raw.data(), 1, raw.size(), in);
    atEnd = n < raw.size();
    text.clear();
    readable.feed(raw.data(), n, &text);
    if (atEnd) readable.end(&text);
    if (same) {
      before.resize(text.size());
      same = fread(before.data(), 1, before.size(), again) == before.size() &&
             (text.empty() || memcmp(before.data(), text.data(), text.size()) == 0);
    }
    ok = fwrite(text.data(), 1, text.size(), out) == text.size();
    if (!ok) *error = strerror(errno);
  }
  if (ok && (ferror(in) || ferror(again))) {
    ok = false;
    *error = strerror(errno);
  }
  same = ok && same && fgetc(again) == EOF;
  for (FILE *file : {in, again})
    if (file != NULL) fclose(file);
  if (out != NULL && fclose(out) != 0 && ok) {
    ok = false;
    *error = strerror(errno);
  }
  if (ok && !same) return files_replaceWith(log, temp, error);
  if (!temp.empty()) remove(temp.c_str());
  return ok;
}

std::string fleet_nativePath(const std::string &path) {
  std::string native = path;
  for (char &c : native)
    if (c == '/') c = FILES_SEPARATOR;
  return native;
}
