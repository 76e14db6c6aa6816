// Fuzzes base64_decode on arbitrary text, and base64_encode on the same bytes:
// output into buffers of exactly the size asked for (so that any write past
// them trips AddressSanitizer), and round trips that must give back the input.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "webfile/Encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  const int slen = (int)size;

  // Decode: ask for the size, then decode into exactly that much.
  int needed = 0;
  int result = base64_decode(NULL, &needed, data, slen);
  if (result == -1 && needed > 0) {
    unsigned char *out = (unsigned char *)malloc((size_t)needed);
    int outLength = needed;
    if (base64_decode(out, &outLength, data, slen) != 0) abort();
    if (outLength < 0 || outLength > needed || needed - outLength > 3) abort();

    // Decoded bytes encode to text that decodes to the same bytes.
    if (outLength > 0) {
      int textLength = 0;
      if (base64_encode(NULL, &textLength, out, outLength) != -1) abort();
      unsigned char *text = (unsigned char *)malloc((size_t)textLength);
      if (base64_encode(text, &textLength, out, outLength) != 0) abort();
      unsigned char *again = (unsigned char *)malloc((size_t)outLength + 2);
      int againLength = outLength + 2;
      if (base64_decode(again, &againLength, text, textLength) != 0) abort();
      if (againLength != outLength || memcmp(again, out, (size_t)outLength) != 0) abort();
      free(again);
      free(text);
    }
    free(out);
  } else if (result == 0) {
    if (needed != 0) abort();  // no significant character: length untouched
  }

  // Encode the raw bytes: exact capacity, and back again.
  if (slen > 0) {
    int textLength = 0;
    if (base64_encode(NULL, &textLength, data, slen) != -1) abort();
    if (textLength != 4 * ((slen + 2) / 3) + 1) abort();
    unsigned char *text = (unsigned char *)malloc((size_t)textLength);
    if (base64_encode(text, &textLength, data, slen) != 0 || text[textLength] != 0) abort();
    unsigned char *back = (unsigned char *)malloc((size_t)slen + 2);
    int backLength = slen + 2;
    if (base64_decode(back, &backLength, text, textLength) != 0) abort();
    if (backLength != slen || memcmp(back, data, size) != 0) abort();
    free(back);
    free(text);
  }
  return 0;
}
