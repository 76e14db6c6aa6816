// Base64 (standard alphabet) into caller buffers; *dlen is capacity in, length out.
#ifndef ENCODER_H
#define ENCODER_H

int base64_encode(unsigned char *dst, int *dlen, const unsigned char *src, int slen);
int base64_decode(unsigned char *dst, int *dlen, const unsigned char *src, int slen);

#endif  // ENCODER_H
