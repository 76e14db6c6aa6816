// Web update file checker. Works on the file's bytes in memory and reads
// nothing beyond fileSize; the body is decoded with the updater's own decoder.
// Header lines are compared byte for byte, NUL bytes included, and shown with
// their control characters escaped.
#include "webfile/WebFileVerifier.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "image/ImageAssembly.h"
#include "platform/PrintableText.h"
#include "webfile/Encoder.h"
#include "webfile/WebFileFormat.h"

#define WEB_MAKER "ZarVel"
#define WEB_MODEL "482619"
#define WEB_LINE_LENGTH FIRMWARE_CHUNCK_SIZE_FOR_WEB
#define HEADER_LINE_MAX 15  // longest header line text we accept (without CR LF)

static int fail(WebFileReport *report, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(report->problem, sizeof(report->problem), format, args);
  va_end(args);
  return 0;
}

// Reads one header line ending in CR LF from *pos: its bytes, NUL bytes and
// all, are (*line, *length).
static int readHeaderLine(const unsigned char *file, size_t fileSize, size_t *pos,
                          const char *name, const unsigned char **line, size_t *length,
                          WebFileReport *report) {
  size_t start = *pos;
  size_t end = start;
  while (end < fileSize && end - start <= HEADER_LINE_MAX && file[end] != '\r' &&
         file[end] != '\n')
    end++;
  if (end - start > HEADER_LINE_MAX)
    return fail(report, "the %s line is longer than %d characters", name, HEADER_LINE_MAX);
  if (end + 1 >= fileSize || file[end] != '\r' || file[end + 1] != '\n')
    return fail(report, "the %s line does not end in CR LF", name);
  *line = file + start;
  *length = end - start;
  *pos = end + 2;
  return 1;
}

// The line as it may be printed: control characters and NUL bytes escaped.
static std::string shown(const unsigned char *line, size_t length) {
  return printableText_escape((const char *)line, length);
}

// A text line that must be exactly `expected`: a NUL byte and what follows it
// count, so "ZarVel\0EVIL" is not "ZarVel". Keeps the line, printable, in field.
static int checkTextLine(const unsigned char *line, size_t length, const char *name,
                         const char *expected, char *field, size_t fieldSize,
                         WebFileReport *report) {
  snprintf(field, fieldSize, "%s", shown(line, length).c_str());
  if (length != strlen(expected) || memcmp(line, expected, length) != 0)
    return fail(report, "the %s line is \"%s\" (\"%s\" expected)", name, field, expected);
  return 1;
}

// Every byte of the line a decimal digit: no sign, no leading zeros, no NUL,
// at most `max`.
static int parseDecimal(const unsigned char *text, size_t n, uint64_t max, uint64_t *value) {
  if (n == 0 || n > 10 || (n > 1 && text[0] == '0')) return 0;
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++) {
    if (text[i] < '0' || text[i] > '9') return 0;
    v = v * 10 + (uint64_t)(text[i] - '0');
  }
  if (v > max) return 0;
  *value = v;
  return 1;
}

static int isBase64Character(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Lines of WEB_LINE_LENGTH characters with CR LF between them, the last one
// 1 to WEB_LINE_LENGTH characters with no line end; an empty body is allowed.
static int checkBodyLines(const unsigned char *body, size_t size, WebFileReport *report) {
  size_t pos = 0;
  while (pos < size) {
    size_t start = pos;
    while (pos < size && isBase64Character(body[pos])) pos++;
    long line = report->bodyLines + 1;
    size_t length = pos - start;
    report->bodyLines = line;
    report->bodyCharacters += (long)length;

    if (pos == size) {  // the last line
      if (length == 0 || length > WEB_LINE_LENGTH)
        return fail(report, "body line %ld holds %zu characters (1 to %d expected)", line, length,
                    WEB_LINE_LENGTH);
      return 1;
    }
    unsigned char c = body[pos];
    if (c == '=') return fail(report, "body line %ld holds the padding character \"=\"", line);
    if (c != '\r' && c != '\n')
      return fail(report, "body line %ld holds a character that is not Base64 (code %u)", line,
                  (unsigned)c);
    if (c == '\n' || pos + 1 >= size || body[pos + 1] != '\n')
      return fail(report, "body line %ld does not end in CR LF", line);
    pos += 2;
    if (pos == size) return fail(report, "the file ends in CR LF after the last body line");
    if (length != WEB_LINE_LENGTH)
      return fail(report, "body line %ld holds %zu characters before its line end (%d expected)",
                  line, length, WEB_LINE_LENGTH);
  }
  return 1;
}

// The five header lines: maker, model and release as expected, then the
// checksum and the length as numbers. *pos ends at the body's start.
static int checkHeader(const unsigned char *file, size_t fileSize, size_t *pos,
                       WebFileReport *report) {
  const unsigned char *line = NULL;
  size_t length = 0;
  uint64_t value = 0;
  if (!readHeaderLine(file, fileSize, pos, "maker", &line, &length, report) ||
      !checkTextLine(line, length, "maker", WEB_MAKER, report->maker, sizeof(report->maker),
                     report))
    return 0;
  if (!readHeaderLine(file, fileSize, pos, "model", &line, &length, report) ||
      !checkTextLine(line, length, "model", WEB_MODEL, report->model, sizeof(report->model),
                     report))
    return 0;
  if (!readHeaderLine(file, fileSize, pos, "release", &line, &length, report) ||
      !checkTextLine(line, length, "release", FIRMWARE_VERSION_TO_UPLOAD, report->release,
                     sizeof(report->release), report))
    return 0;
  if (!readHeaderLine(file, fileSize, pos, "checksum", &line, &length, report)) return 0;
  if (!parseDecimal(line, length, 0xFFFFFFFFu, &value))
    return fail(report, "the checksum line \"%s\" is not an unsigned 32-bit decimal number",
                shown(line, length).c_str());
  report->headerCheckSum = (uint32_t)value;
  if (!readHeaderLine(file, fileSize, pos, "length", &line, &length, report)) return 0;
  if (!parseDecimal(line, length, CONCAT_BUFFER_SIZE, &value))
    return fail(report, "the length line \"%s\" is not a decimal number from 0 to %d",
                shown(line, length).c_str(), CONCAT_BUFFER_SIZE);
  report->headerLength = (long)value;
  return 1;
}

// The decoded image against the header: at least the length, zeros after it,
// and the checksum of its first `length` bytes.
static int checkDecoded(const unsigned char *decoded, WebFileReport *report) {
  if (report->decodedBytes < report->headerLength)
    return fail(report, "the body decodes to %ld bytes, fewer than the length %ld",
                report->decodedBytes, report->headerLength);
  uint32_t sum = 0;
  for (long i = 0; i < report->headerLength; i++) sum -= decoded[i];
  report->decodedCheckSum = sum;
  for (long i = report->headerLength; i < report->decodedBytes; i++) {
    if (decoded[i] != 0)
      return fail(report, "padding byte %ld after the image is 0x%02x, not zero", i,
                  (unsigned)decoded[i]);
  }
  if (sum != report->headerCheckSum)
    return fail(report, "the body's checksum is %u; the checksum line says %u", (unsigned)sum,
                (unsigned)report->headerCheckSum);
  return 1;
}

// Decodes a body that is not empty and checks what it decodes to.
static int checkBody(const unsigned char *body, size_t bodySize, WebFileReport *report) {
  // The first call asks for the size the text calls for.
  int capacity = 0;
  if (base64_decode(NULL, &capacity, body, (int)bodySize) != -1 || capacity <= 0)
    return fail(report, "the body is not valid Base64");
  unsigned char *decoded = (unsigned char *)malloc((size_t)capacity);
  if (decoded == NULL) return fail(report, "out of memory decoding the body");
  if (base64_decode(decoded, &capacity, body, (int)bodySize) != 0) {
    free(decoded);
    return fail(report, "the body is not valid Base64");
  }
  report->decodedBytes = capacity;
  const int result = checkDecoded(decoded, report);
  free(decoded);
  return result;
}

int webFileVerifier_verify(const unsigned char *file, size_t fileSize, WebFileReport *report) {
  memset(report, 0, sizeof(*report));
  if (file == NULL && fileSize > 0) return fail(report, "no file data");
  if (fileSize > WEB_FILE_MAX_SIZE)
    return fail(report, "the file is larger than %d bytes", WEB_FILE_MAX_SIZE);
  size_t pos = 0;
  if (!checkHeader(file, fileSize, &pos, report)) return 0;

  // The body's line structure and its length.
  const unsigned char *body = file + pos;
  size_t bodySize = fileSize - pos;
  if (!checkBodyLines(body, bodySize, report)) return 0;
  long expectedCharacters = 4 * ((report->headerLength + 2) / 3);
  if (report->bodyCharacters != expectedCharacters)
    return fail(report, "the body holds %ld Base64 characters; a length of %ld needs %ld",
                report->bodyCharacters, report->headerLength, expectedCharacters);
  if (bodySize == 0) {
    report->decodedCheckSum = 0;
    if (report->headerCheckSum != 0)
      return fail(report, "the checksum line is %u; an empty image has the checksum 0",
                  (unsigned)report->headerCheckSum);
    return 1;
  }
  return checkBody(body, bodySize, report);
}
