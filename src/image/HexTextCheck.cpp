// The release check. It walks the text exactly as ValidateFwAndConcatenateData
// does (pieces between start codes, each cut at its first line end, the same
// record operations on the same line buffer) without cutting the text, and
// keeps the assembly's extended address alongside its own view of the records.
#include "image/HexTextCheck.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "image/ImageAssembly.h"
#include "image/IntelHex.h"
#include "image/StringOperations.h"

// The assembly's line buffer: ":" plus a piece of up to 98 characters plus NUL.
#define CHECK_LINE_BUFFER_SIZE 100
#define CHECK_MAX_PIECE_LENGTH (CHECK_LINE_BUFFER_SIZE - 2)
#define RECORD_FRAME_LENGTH 11
#define HIGHEST_KNOWN_RECORD_TYPE INTEL_HEX_RECORD_START_LINEAR_ADDRESS

// 1 for the hex digits of either case, by character code: a lookup without
// branches, as most record characters are digits of either kind.
struct HexDigitTable {
  uint8_t isDigit[256];
  constexpr HexDigitTable() : isDigit() {
    for (int c = 0; c < 256; c++)
      isDigit[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  }
};
static constexpr HexDigitTable kHexDigits;

static int isHexDigit(char c) { return kHexDigits.isDigit[(unsigned char)c]; }

// Whether the `count` characters at s are all hex digits, eight at a time: in
// each byte below 0x80, adding 0x80 - low sets its top bit when it is at least
// `low`, and adding 0x7F - high when it is above `high`, without a carry into
// the next byte. A byte with its top bit set is no digit, whatever its
// neighbours then read as.
static int allHexDigits(const char *s, size_t count) {
  const uint64_t ones = 0x0101010101010101u, tops = 0x8080808080808080u;
  size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    uint64_t w;
    memcpy(&w, s + k, 8);
    const uint64_t folded = w | 0x20 * ones;                        // "A"-"F" read as "a"-"f"
    const uint64_t digit = (w + 0x50 * ones) & ~(w + 0x46 * ones);  // "0"-"9"
    const uint64_t letter = (folded + 0x1F * ones) & ~(folded + 0x19 * ones);  // "a"-"f"
    if (((digit | letter) & ~w & tops) != tops) return 0;
  }
  for (; k < count; k++)
    if (!isHexDigit(s[k])) return 0;
  return 1;
}

static int isLineEnd(char c) { return c == '\r' || c == '\n'; }

// What the walk knows between records.
typedef struct CheckState {
  uint32_t memoryOffset;  // the assembly's extended address: bits 16-23 only
  BOOL windowKnown;       // the top byte of the linear address is fixed
  uint8_t window;         // that top byte
  BOOL dataSeen;
  uint32_t previousStart, previousEnd;  // flat offsets of the previous data record
  unsigned long previousLine;
  BOOL endOfFileSeen;
} CheckState;

static void describe(HexTextProblem *problem, unsigned long lineNumber, const char *line,
                     size_t lineLength, BOOL assemblyRefuses, const char *format, ...) {
  problem->lineNumber = lineNumber;
  problem->line = line;
  problem->lineLength = lineLength;
  problem->assemblyRefuses = assemblyRefuses;
  va_list args;
  va_start(args, format);
  vsnprintf(problem->reason, sizeof(problem->reason), format, args);
  va_end(args);
}

// Why the assembly refuses the line, or null. Follows the assembly's own
// steps, and keeps its extended address up to date.
static const char *refusal(const char *line, size_t pieceLength, CheckState *state,
                           uint32_t *start) {
  if (pieceLength > CHECK_MAX_PIECE_LENGTH)
    return "longer than the updater's line buffer (98 characters, line ends up to the next "
           "record included)";
  if (intel_hex_line_is_valid(line) != INTEL_HEX_STRING_OK) return "not a valid Intel HEX record";
  uint8_t n = intel_hex_line_data_length(line);
  if (intel_hex_line_is_extended_linear_address_record(line)) {
    if (n < 2) return "an extended linear address record of fewer than 2 bytes";
    state->memoryOffset = (uint32_t)u8_from_hex_string(line + 11) * 65536u;
  }
  if (intel_hex_line_is_data_record(line)) {
    *start = (uint32_t)(u8_from_hex_string(line + 3) * 256u + u8_from_hex_string(line + 5)) +
             state->memoryOffset;
    if (*start + n > (uint32_t)CONCAT_BUFFER_SIZE)
      return "data beyond the updater's 4 MiB image buffer";
  }
  return NULL;
}

// A record's characters and length as the assembly reads them: a character
// that is no hex digit, or a length the count of data bytes does not give;
// false when both are sound.
static BOOL misreadFrame(const char *line, uint8_t n, char *reason, size_t reasonSize) {
  size_t length = strlen(line);
  // The character is looked for only in a line that has one.
  const int allHex = allHexDigits(line + 1, length - 1);
  for (size_t k = 1; !allHex && k < length; k++) {
    if (!isHexDigit(line[k])) {
      snprintf(reason, reasonSize, "character %zu is not a hex digit (the updater reads it as 0)",
               k + 1);
      return 1;
    }
  }
  if (length != RECORD_FRAME_LENGTH + 2u * n) {
    snprintf(reason, reasonSize,
             "%zu characters where a record of %u data bytes has %u (the updater reads the "
             "checksum from the end and skips what lies between)",
             length, (unsigned)n, RECORD_FRAME_LENGTH + 2u * n);
    return 1;
  }
  return 0;
}

// An extended linear address record: the assembly keeps only its lower byte,
// so every such record must name the same top byte. Fixes that byte.
static BOOL misreadWindow(const char *line, uint8_t n, CheckState *state, char *reason,
                          size_t reasonSize) {
  if (n != 2) {
    snprintf(reason, reasonSize, "an extended linear address record of %u bytes (2 expected)",
             (unsigned)n);
    return 1;
  }
  uint8_t top = u8_from_hex_string(line + 9);
  if (state->windowKnown && top != state->window) {
    snprintf(reason, reasonSize,
             "extended linear address %02X%02X: the updater drops its top byte, so its data "
             "would share the image with the data below %02X000000",
             (unsigned)top, (unsigned)u8_from_hex_string(line + 11), (unsigned)state->window);
    return 1;
  }
  state->windowKnown = 1;
  state->window = top;
  return 0;
}

// What the assembly would get wrong with a line it accepts; false when
// nothing. `start` is the flat offset of a data record.
static BOOL misreading(const char *line, uint32_t start, CheckState *state, char *reason,
                       size_t reasonSize) {
  uint8_t n = intel_hex_line_data_length(line);
  if (misreadFrame(line, n, reason, reasonSize)) return 1;
  uint8_t type = u8_from_hex_string(line + 7);
  if (type > HIGHEST_KNOWN_RECORD_TYPE) {
    snprintf(reason, reasonSize,
             "record type %02X is not 00 to 05 (the updater reads only its second digit)",
             (unsigned)type);
    return 1;
  }
  if (state->endOfFileSeen) {
    snprintf(reason, reasonSize, "a record after the end-of-file record (the updater uses it)");
    return 1;
  }
  if (type == INTEL_HEX_RECORD_EOF) state->endOfFileSeen = 1;
  if (type == INTEL_HEX_RECORD_EXTENDED_SEGMENT_ADDRESS) {
    snprintf(reason, reasonSize,
             "an extended segment address record (the updater ignores it and places the data "
             "after it as if at segment 0)");
    return 1;
  }
  if (type == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS &&
      misreadWindow(line, n, state, reason, reasonSize))
    return 1;
  if (type == INTEL_HEX_RECORD_DATA) {
    // Data before any extended linear address record lies in the first window.
    state->windowKnown = 1;
    if (state->dataSeen && start < state->previousEnd) {
      snprintf(reason, reasonSize,
               start < state->previousStart
                   ? "data out of ascending address order: below the data record on line %lu "
                     "(the updater's image ends with the last record)"
                   : "data overlapping the data record on line %lu (the later one wins)",
               state->previousLine);
      return 1;
    }
  }
  return 0;
}

// One piece of the text, as offsets into it: from after its start code up to
// the next start code (or the text's end). Its record ends at its first line end.
typedef struct Piece {
  size_t start, recordEnd, end;
} Piece;

static Piece pieceAt(const char *text, size_t start) {
  Piece piece;
  piece.start = start;
  // The library's scans: a character loop here was most of the check's time.
  piece.recordEnd = start + strcspn(text + start, ":\r\n");
  const char *nextStart = strchr(text + piece.recordEnd, ':');
  piece.end = nextStart != NULL ? (size_t)(nextStart - text)
                                : piece.recordEnd + strlen(text + piece.recordEnd);
  return piece;
}

// The line as the assembly builds it: ":" and the record, cut to what its
// buffer holds.
static void assemblyLine(const char *text, const Piece &piece, char line[CHECK_LINE_BUFFER_SIZE]) {
  const size_t copied = piece.recordEnd - piece.start < CHECK_MAX_PIECE_LENGTH
                            ? piece.recordEnd - piece.start
                            : CHECK_MAX_PIECE_LENGTH;
  line[0] = ':';
  memcpy(line + 1, text + piece.start, copied);
  line[copied + 1] = '\0';
}

// Places a valid data record's bytes at `start`, as the assembly does. The
// line holds all 2n data digits: they are read without looking for its end.
static void placeData(const char *line, uint8_t n, uint32_t start, uint8_t *image,
                      int *imageLength) {
  uint8_t *to = image + start;
  for (const char *p = line + 9; p < line + 9 + 2 * n; p += 2)
    *to++ = (uint8_t)(int_from_hex_char(p[0]) * 16 + int_from_hex_char(p[1]));
  *imageLength = (int)(start + n);
}

// A data record the check found sound: the next one is compared with it.
static void rememberData(CheckState *state, uint32_t start, uint8_t n, unsigned long line) {
  state->dataSeen = 1;
  state->previousStart = start;
  state->previousEnd = start + n;
  state->previousLine = line;
}

// The rest of the piece after its record: line ends, counted, and text the
// assembly skips, described unless a problem was found before.
static void walkSkippedText(const char *text, const Piece &piece, unsigned long *lineNumber,
                            HexTextProblem *problem, BOOL *found) {
  for (size_t k = piece.recordEnd; k < piece.end; k++) {
    if (text[k] == '\r' && k + 1 < piece.end && text[k + 1] == '\n') k++;
    if (isLineEnd(text[k])) {
      (*lineNumber)++;
      continue;
    }
    size_t end = k;
    while (end < piece.end && !isLineEnd(text[end])) end++;
    if (!*found) {
      describe(problem, *lineNumber, text + k, end - k, 0,
               "text that is not a record (the updater skips it)");
      *found = 1;
    }
    k = end - 1;
  }
}

BOOL hexTextCheck_findProblem(const char *text, HexTextProblem *problem) {
  return hexTextCheck_findProblemPlacing(text, problem, NULL, NULL);
}

BOOL hexTextCheck_findProblemPlacing(const char *text, HexTextProblem *problem, uint8_t *image,
                                     int *imageLength) {
  CheckState state;
  memset(&state, 0, sizeof(state));
  memset(problem, 0, sizeof(*problem));
  if (image != NULL) {
    memset(image, 0xFF, CONCAT_BUFFER_SIZE);
    *imageLength = 0;
  }
  if (text == NULL) return 0;

  BOOL found = 0;
  BOOL anyPiece = 0;
  unsigned long lineNumber = 1;  // of the character at pos
  size_t pos = 0;
  while (text[pos] != '\0') {
    if (text[pos] == ':') {  // a run of start codes is skipped, as the splitter does
      pos++;
      continue;
    }
    anyPiece = 1;
    const Piece piece = pieceAt(text, pos);
    const unsigned long recordLine = lineNumber;
    const size_t shownStart = piece.start > 0 ? piece.start - 1 : 0;  // the ":" if there is one
    const char *shown = text + shownStart;
    const size_t shownLength = piece.recordEnd - shownStart;
    char line[CHECK_LINE_BUFFER_SIZE];
    assemblyLine(text, piece, line);

    uint32_t start = 0;
    const char *refused = refusal(line, piece.end - piece.start, &state, &start);
    if (refused != NULL) {
      // The assembly stops here: this outweighs anything found before.
      describe(problem, recordLine, shown, shownLength, 1, "%s", refused);
      return 1;
    }
    // The assembly places the data of every line it accepts.
    const BOOL isData = intel_hex_line_is_data_record(line);
    const uint8_t n = intel_hex_line_data_length(line);
    if (image != NULL && isData) placeData(line, n, start, image, imageLength);
    char reason[HEX_TEXT_REASON_SIZE];
    if (!found && misreading(line, start, &state, reason, sizeof(reason))) {
      describe(problem, recordLine, shown, shownLength, 0, "%s", reason);
      found = 1;
    }
    if (!found && isData) rememberData(&state, start, n, recordLine);
    walkSkippedText(text, piece, &lineNumber, problem, &found);
    pos = piece.end;
  }
  // The splitter gives no table for a text without any piece, and the
  // assembly refuses it.
  if (!anyPiece) {
    describe(problem, 1, text, 0, 1, "no record at all");
    return 1;
  }
  return found;
}
