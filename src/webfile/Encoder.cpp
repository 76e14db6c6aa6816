// Base64 with the standard alphabet, into buffers the caller provides.
//
// Both directions share one length contract: *dlen holds the capacity of dst
// on entry. A call whose output would not fit writes nothing, stores the size
// it needs in *dlen and returns -1.
#include "webfile/Encoder.h"

#include <stddef.h>
#include <stdint.h>

// The character for each 6-bit value.
static const unsigned char base64_enc_map[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

// The 6-bit value of each character code below 128; 64 marks the padding
// character "=", 127 a character that may not appear.
static const unsigned char base64_dec_map[128] = {
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 62,  127, 127, 127, 63,
    52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  127, 127, 127, 64,  127, 127,
    127, 0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14,
    15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  127, 127, 127, 127, 127,
    127, 26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,
    41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51,  127, 127, 127, 127, 127};

// The encoder computes slen * 8 in an int, so it takes fewer input bytes than this.
#define BASE64_ENCODE_MAX_INPUT (1 << 28)

int base64_encode(unsigned char *dst, int *dlen, const unsigned char *src, int slen) {
  if (slen == 0) return 0;
  // Lengths that break the contract (negative, or too large for slen * 8)
  // and missing buffers are refused without touching anything.
  if (slen < 0 || slen >= BASE64_ENCODE_MAX_INPUT || dlen == NULL || src == NULL) return -1;

  int n = (slen * 8) / 6;
  switch ((slen * 8) - (6 * n)) {
    case 2: n += 3; break;
    case 4: n += 2; break;
    default: break;
  }

  if (*dlen < n + 1) {
    *dlen = n + 1;
    return -1;
  }
  if (dst == NULL) return -1;

  unsigned char *p = dst;
  int whole = (slen / 3) * 3;
  int i;
  for (i = 0; i < whole; i += 3) {
    int C1 = src[i];
    int C2 = src[i + 1];
    int C3 = src[i + 2];
    *p++ = base64_enc_map[(C1 >> 2) & 0x3F];
    *p++ = base64_enc_map[(((C1 & 3) << 4) + (C2 >> 4)) & 0x3F];
    *p++ = base64_enc_map[(((C2 & 15) << 2) + (C3 >> 6)) & 0x3F];
    *p++ = base64_enc_map[C3 & 0x3F];
  }

  if (i < slen) {
    int C1 = src[i];
    int C2 = (i + 1 < slen) ? src[i + 1] : 0;
    *p++ = base64_enc_map[(C1 >> 2) & 0x3F];
    *p++ = base64_enc_map[(((C1 & 3) << 4) + (C2 >> 4)) & 0x3F];
    if (i + 1 < slen)
      *p++ = base64_enc_map[((C2 & 15) << 2) & 0x3F];
    else
      *p++ = '=';
    *p++ = '=';
  }

  *dlen = (int)(p - dst);
  *p = 0;
  return 0;
}

int base64_decode(unsigned char *dst, int *dlen, const unsigned char *src, int slen) {
  if (slen < 0 || dlen == NULL || (src == NULL && slen > 0)) return -1;

  // Pass 1: check the text and count its significant characters.
  int i;
  int n = 0;  // significant characters, "=" included
  int j = 0;  // "=" seen so far
  for (i = 0; i < slen; i++) {
    // A CR directly followed by LF is a line end; the LF goes next time round.
    if ((slen - i) >= 2 && src[i] == '\r' && src[i + 1] == '\n') continue;
    if (src[i] == '\n') continue;

    if (src[i] == '=' && ++j > 2) return -1;
    if (src[i] > 127 || base64_dec_map[src[i]] == 127) return -1;
    // After padding only more padding and line ends may follow.
    if (base64_dec_map[src[i]] < 64 && j != 0) return -1;
    n++;
  }

  if (n == 0) return 0;

  // The size the text calls for; "=" is counted, so it may exceed the bytes
  // produced by 1 or 2. Worked in 64 bits: n * 6 would overflow an int.
  int64_t needed = ((int64_t)n * 6 + 7) >> 3;
  if (*dlen < needed) {
    *dlen = (int)needed;
    return -1;
  }
  if (dst == NULL) return -1;

  // Pass 2: convert, four characters to three bytes, fewer after padding.
  uint32_t x = 0;
  int group = 0;
  int keep = 3;
  unsigned char *p = dst;
  for (i = 0; i < slen; i++) {
    if (src[i] == '\r' || src[i] == '\n') continue;

    unsigned char value = base64_dec_map[src[i]];
    if (value == 64) keep--;
    x = (x << 6) | (value & 0x3F);

    if (++group == 4) {
      group = 0;
      if (keep > 0) *p++ = (unsigned char)(x >> 16);
      if (keep > 1) *p++ = (unsigned char)(x >> 8);
      if (keep > 2) *p++ = (unsigned char)(x);
    }
  }

  *dlen = (int)(p - dst);
  return 0;
}
