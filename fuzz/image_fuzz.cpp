// Arbitrary bytes as an Intel HEX / MCS text for image assembly, and as one
// record line for the record operations. Beyond the sanitizers' checks, the
// assembly must leave the spare bytes after the image buffer alone and its
// length inside the buffer, and the release check must refuse exactly the
// texts that the assembly refuses and, where it accepts, place the same image.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/HexTextCheck.h"
#include "image/IntelHex.h"
#include "updater/TessaranFwUpgrade.h"

static const uint8_t kSpareMark = 0xA5;
static uint8_t gPlacedImage[CONCAT_BUFFER_SIZE];  // the release check's

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  (void)argc;
  (void)argv;
  // The diagnostics for bad lines would flood the fuzzer's output.
  if (freopen("/dev/null", "w", stdout) == NULL) abort();
  gDataConcatenated = (uint8_t *)malloc(CONCAT_BUFFER_SIZE + 16);
  if (gDataConcatenated == NULL) abort();
  memset(gDataConcatenated + CONCAT_BUFFER_SIZE, kSpareMark, 16);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The input as a NUL-terminated text in a block of exactly its size (plus
  // the NUL), so reads past it are caught.
  char *text = (char *)malloc(size + 1);
  if (text == NULL) return 0;
  memcpy(text, data, size);
  text[size] = '\0';

  // 1. As one record line: every operation, none may read past the line.
  intel_hex_line_is_valid(text);
  intel_hex_line_record_type(text);
  intel_hex_line_address(text);
  uint8_t *bytes = new_u8_data_array_from_intel_hex_string(text);
  if (bytes != NULL) {
    uint8_t n = intel_hex_line_data_length(text);
    volatile uint8_t sink = 0;
    for (unsigned k = 0; k < n; k++) sink = (uint8_t)(sink + bytes[k]);
    free(bytes);
  }

  // 2. As a whole text: first the release check, which must refuse exactly
  // the texts that the assembly refuses and point inside the text.
  HexTextProblem problem;
  int placedLength = -1;
  BOOL refused = hexTextCheck_findProblemPlacing(text, &problem, gPlacedImage, &placedLength) &&
                 problem.assemblyRefuses;
  if (problem.line != NULL &&
      (problem.line < text || problem.line + problem.lineLength > text + size))
    abort();
  BOOL ok = ValidateFwAndConcatenateData(text);
  if (ok == refused) abort();
  if (gDataConcatenatedLenght < 0 || gDataConcatenatedLenght > CONCAT_BUFFER_SIZE) abort();
  if (ok && (placedLength != gDataConcatenatedLenght ||
             memcmp(gPlacedImage, gDataConcatenated, CONCAT_BUFFER_SIZE) != 0))
    abort();
  if (ok) imageCheckSum(gDataConcatenated, gDataConcatenatedLenght);
  for (int k = 0; k < 16; k++) {
    if (gDataConcatenated[CONCAT_BUFFER_SIZE + k] != kSpareMark) abort();
  }

  free(text);
  return 0;
}
