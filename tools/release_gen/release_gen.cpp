// release_gen: writes the sample release 1.0.4 into a folder.
//
//   release_gen OUT_DIR
//
// The three files have the layout of the real release (record counts, record
// sizes, extended linear address records, text lengths and image lengths) and
// a pseudo-random but fixed payload, so every run writes the same bytes:
//   M482619_MCU_6G-SDI_61_1_04.hex  data at linear 0x80008000-0x80019E77 and
//                                   0x8001A000-0x8001CB93, a vector table
//                                   first, a start linear address record
//   M482619_TX_XC7A35_1_04.mcs      961,060 bytes from address 0
//   M482619_RX_XC7A35_1_04.mcs      1,103,320 bytes from address 0
// The FPGA images begin like a configuration bitstream: 0xFF padding, the
// bus-width pattern and the sync word.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#define RECORD_DATA_BYTES 16

// A fixed xorshift generator: the same sequence on every platform.
static uint32_t gRandomState;

static uint32_t nextRandom(void) {
  uint32_t x = gRandomState;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  gRandomState = x;
  return x;
}

static void fillRandom(std::vector<uint8_t> &bytes, size_t from, uint32_t seed) {
  gRandomState = seed;
  for (size_t i = from; i < bytes.size(); i++) bytes[i] = (uint8_t)(nextRandom() >> 24);
}

static void putWordLE(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
  for (int k = 0; k < 4; k++) bytes[at + k] = (uint8_t)(value >> (8 * k));
}

static void putWordBE(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
  for (int k = 0; k < 4; k++) bytes[at + k] = (uint8_t)(value >> (8 * (3 - k)));
}

// One record, upper-case hex, CR LF.
static void appendRecord(std::string &text, uint8_t type, uint16_t loadOffset, const uint8_t *data,
                         size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  uint8_t sum = 0;
  uint8_t head[4] = {(uint8_t)count, (uint8_t)(loadOffset >> 8), (uint8_t)loadOffset, type};
  text += ':';
  for (uint8_t b : head) {
    text += digits[b >> 4];
    text += digits[b & 15];
    sum = (uint8_t)(sum + b);
  }
  for (size_t k = 0; k < count; k++) {
    text += digits[data[k] >> 4];
    text += digits[data[k] & 15];
    sum = (uint8_t)(sum + data[k]);
  }
  uint8_t checksum = (uint8_t)(0u - sum);
  text += digits[checksum >> 4];
  text += digits[checksum & 15];
  text += "\r\n";
}

// Data records of 16 bytes (the last one shorter) for `bytes` placed at the
// linear address `base`, with an extended linear address record each time
// the upper 16 address bits change.
static void appendData(std::string &text, uint32_t base, const std::vector<uint8_t> &bytes,
                       int32_t &currentUpper) {
  for (size_t at = 0; at < bytes.size(); at += RECORD_DATA_BYTES) {
    uint32_t address = base + (uint32_t)at;
    if ((int32_t)(address >> 16) != currentUpper) {
      currentUpper = (int32_t)(address >> 16);
      uint8_t upper[2] = {(uint8_t)(address >> 24), (uint8_t)(address >> 16)};
      appendRecord(text, 4, 0, upper, 2);
    }
    size_t count = bytes.size() - at < RECORD_DATA_BYTES ? bytes.size() - at : RECORD_DATA_BYTES;
    appendRecord(text, 0, (uint16_t)address, bytes.data() + at, count);
  }
}

static std::string microcontrollerText(void) {
  const uint32_t flashBase = 0x80008000u;
  const uint32_t entryPoint = 0x800081C5u;  // Thumb code: bit 0 set

  // Code and constants: 0x80008000-0x80019E77.
  std::vector<uint8_t> code(0x19E78 - 0x8000);
  fillRandom(code, 0, 0x6A09E667u);
  putWordLE(code, 0, 0x20010000u);  // initial stack pointer
  putWordLE(code, 4, entryPoint);   // reset handler
  for (size_t vector = 2; vector < 64; vector++)
    putWordLE(code, 4 * vector, 0x80008301u + 0x10u * (uint32_t)(vector % 16));

  // Initialised data image: 0x8001A000-0x8001CB93.
  std::vector<uint8_t> data(0x1CB94 - 0x1A000);
  fillRandom(data, 0, 0xBB67AE85u);

  std::string text;
  int32_t upper = -1;
  appendData(text, flashBase, code, upper);
  appendData(text, flashBase + (0x1A000 - 0x8000), data, upper);
  uint8_t start[4] = {(uint8_t)(entryPoint >> 24), (uint8_t)(entryPoint >> 16),
                      (uint8_t)(entryPoint >> 8), (uint8_t)entryPoint};
  appendRecord(text, 5, 0, start, 4);
  appendRecord(text, 1, 0, NULL, 0);
  return text;
}

static std::string fpgaText(size_t imageLength, uint32_t seed) {
  std::vector<uint8_t> image(imageLength);
  size_t at = 0;
  for (; at < 32; at++) image[at] = 0xFF;  // dummy padding
  putWordBE(image, at, 0x000000BBu);       // bus width detection
  putWordBE(image, at + 4, 0x11220044u);
  putWordBE(image, at + 8, 0xFFFFFFFFu);
  putWordBE(image, at + 12, 0xFFFFFFFFu);
  putWordBE(image, at + 16, 0xAA995566u);  // sync word
  fillRandom(image, at + 20, seed);

  std::string text;
  int32_t upper = -1;
  appendData(text, 0, image, upper);
  appendRecord(text, 1, 0, NULL, 0);
  return text;
}

static int writeFile(const std::string &folder, const char *name, const std::string &text) {
  std::string path = folder + "/" + name;
  FILE *file = fopen(path.c_str(), "wb");
  if (file == NULL) {
    fprintf(stderr, "release_gen: cannot create %s\n", path.c_str());
    return 0;
  }
  size_t written = fwrite(text.data(), 1, text.size(), file);
  if (fclose(file) != 0 || written != text.size()) {
    fprintf(stderr, "release_gen: cannot write %s\n", path.c_str());
    return 0;
  }
  printf("%s: %zu characters\n", path.c_str(), text.size());
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "Usage: release_gen OUT_DIR\n");
    return 2;
  }
  std::string folder = argv[1];
  if (!writeFile(folder, "M482619_MCU_6G-SDI_61_1_04.hex", microcontrollerText())) return 1;
  if (!writeFile(folder, "M482619_TX_XC7A35_1_04.mcs", fpgaText(961060, 0x3C6EF372u))) return 1;
  if (!writeFile(folder, "M482619_RX_XC7A35_1_04.mcs", fpgaText(1103320, 0xA54FF53Au))) return 1;
  return 0;
}
