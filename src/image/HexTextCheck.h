// The release check: finds what image assembly would do wrong with an Intel
// HEX or MCS text. The assembly itself stays as lenient as it is; the build's
// generator and the image tool run this check on every text first.
#ifndef HEXTEXTCHECK_H
#define HEXTEXTCHECK_H

#include <stddef.h>
#include <stdint.h>
#include "platform/Platform.h"

#define HEX_TEXT_REASON_SIZE 160

// The first problem of a text.
typedef struct HexTextProblem {
  unsigned long lineNumber;  // 1 for the first line; CR LF, LF and CR each end a line
  const char *line;          // where that line starts in the text
  size_t lineLength;         // its characters, line end not counted
  char reason[HEX_TEXT_REASON_SIZE];
  // 1: ValidateFwAndConcatenateData refuses the text (returns 0), and this
  // is the line it stops at. 0: it accepts the text but the image it builds
  // loses, overlaps or misplaces data, or reads a record differently from
  // what the record says.
  BOOL assemblyRefuses;
} HexTextProblem;

// 1 when the text (NUL-terminated) has a problem, described in *problem;
// 0 when the assembly places every data byte at the offset its record gives,
// in ascending order and without overlap. Where the assembly would refuse the
// text, that refusal is the problem reported, whatever comes before it.
//
// Refused as the assembly refuses them: a text without any record (empty, or
// only start codes), a record that is not valid, a record
// longer than its 98-character line buffer (line ends up to the next record
// included), an extended linear address record of fewer than two bytes, data
// beyond the 4 MiB image buffer. Accepted by the assembly but reported here:
// characters that are not hex digits, a record longer or shorter than its
// byte count says, record types other than 00 to 05 (the assembly reads only
// the type's second digit), extended segment address records (ignored, so the
// data after them lands as if at segment 0), extended linear address records
// of other than two bytes, or whose top byte (dropped by the assembly) differs
// from that of the others, so that data of two 16 MiB windows would share one
// image; data records out of ascending order or overlapping the previous one;
// records after the end-of-file record; text after a record on its line that
// the assembly skips. Start segment and start linear address records carry no
// image data and are accepted.
BOOL hexTextCheck_findProblem(const char *text, HexTextProblem *problem);

// The same check, which also places the data of every record the assembly
// accepts, as the assembly places it, in `image` (CONCAT_BUFFER_SIZE bytes,
// filled with 0xFF first), and sets *imageLength as the assembly sets
// gDataConcatenatedLenght: one walk where the check and the assembly take two.
// Where it returns 0, image and length are ValidateFwAndConcatenateData's.
BOOL hexTextCheck_findProblemPlacing(const char *text, HexTextProblem *problem, uint8_t *image,
                                     int *imageLength);

#endif  // HEXTEXTCHECK_H
