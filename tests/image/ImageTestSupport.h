// Helpers shared by the image tests.
#ifndef IMAGETESTSUPPORT_H
#define IMAGETESTSUPPORT_H

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "updater/TessaranFwUpgrade.h"

// The text and its NUL in a block of exactly that size: ASan sees any read past it.
struct ExactCopy {
  char *text;
  explicit ExactCopy(const std::string &s) : text((char *)malloc(s.size() + 1)) {
    memcpy(text, s.c_str(), s.size() + 1);
  }
  ~ExactCopy() { free(text); }
  ExactCopy(const ExactCopy &) = delete;
};

// Each test that assembles gets its own image buffer, the 16 spare bytes marked.
class ImageBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gDataConcatenated = (uint8_t *)calloc(CONCAT_BUFFER_SIZE + 16, 1);
    memset(gDataConcatenated + CONCAT_BUFFER_SIZE, 0xA5, 16);
  }
  void TearDown() override {
    EXPECT_EQ(std::vector<uint8_t>(gDataConcatenated + CONCAT_BUFFER_SIZE,
                                   gDataConcatenated + CONCAT_BUFFER_SIZE + 16),
              std::vector<uint8_t>(16, 0xA5))
        << "spare bytes after the image buffer changed";
    free(gDataConcatenated);
    gDataConcatenated = nullptr;
  }

  // Assembles a private copy of the text; what it prints goes to *printed.
  BOOL assemble(const std::string &text, std::string *printed = nullptr) {
    ExactCopy copy(text);
    ::testing::internal::CaptureStdout();
    BOOL result = ValidateFwAndConcatenateData(copy.text);
    std::string out = ::testing::internal::GetCapturedStdout();
    if (printed != nullptr) *printed = out;
    return result;
  }

  std::vector<size_t> nonFillOffsets() const {
    std::vector<size_t> offsets;
    for (size_t k = 0; k < CONCAT_BUFFER_SIZE; k++)
      if (gDataConcatenated[k] != 0xFF) offsets.push_back(k);
    return offsets;
  }
};

// One record with a correct checksum, upper-case, no line end.
inline std::string hexRecord(uint8_t type, uint16_t offset, const std::vector<uint8_t> &data) {
  std::vector<uint8_t> bytes = {(uint8_t)data.size(), (uint8_t)(offset >> 8), (uint8_t)offset, type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = (uint8_t)(sum + b);
  bytes.push_back((uint8_t)(0u - sum));
  std::string line = ":";
  for (uint8_t b : bytes) line += "0123456789ABCDEF"[b >> 4], line += "0123456789ABCDEF"[b & 15];
  return line;
}

inline std::string elaRecord(uint16_t upper) { return hexRecord(4, 0, {(uint8_t)(upper >> 8), (uint8_t)upper}); }

#endif  // IMAGETESTSUPPORT_H
