// Checks a web update file held in memory: the five header lines, the line
// structure of the Base64 body, and that the decoded body agrees with the
// header's checksum and length, its padding bytes being zero.
#ifndef WEBFILEVERIFIER_H
#define WEBFILEVERIFIER_H

#include <stddef.h>
#include <stdint.h>

// Files beyond this are refused unread: the largest image the updater holds
// (4 MiB) gives about 5.6 MB of Base64 text with its line ends.
#define WEB_FILE_MAX_SIZE (8 * 1024 * 1024)

// What the verifier found; fields after the first disagreement keep whatever
// was found before it.
typedef struct WebFileReport {
  // The first three lines as read, control characters and NUL bytes escaped
  // ("\x1b"): up to 15 bytes of four characters each.
  char maker[64];
  char model[64];
  char release[64];
  uint32_t headerCheckSum;    // checksum line
  long headerLength;          // length line
  long bodyCharacters;        // Base64 characters, line ends not counted
  long bodyLines;             // 0 for an empty body
  long decodedBytes;          // bytes the body decodes to
  uint32_t decodedCheckSum;   // 0 minus the sum of the first headerLength decoded bytes
  char problem[200];          // the first disagreement, printable; empty when all agree
} WebFileReport;

// 1 when the file is a complete, consistent web update file; 0 with
// report->problem naming the first disagreement otherwise.
int webFileVerifier_verify(const unsigned char *file, size_t fileSize, WebFileReport *report);

#endif  // WEBFILEVERIFIER_H
