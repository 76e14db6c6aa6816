// Helpers shared by the image tests.
#ifndef IMAGETESTSUPPORT_H
#define IMAGETESTSUPPORT_H

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TessaranFwUpgrade.h"

// A heap block holding exactly the text and its NUL, so that AddressSanitizer
// sees any read past the end of a line or a text.
class ExactCopy {
 public:
  explicit ExactCopy(const std::string &text) : data_((char *)malloc(text.size() + 1)) {
    memcpy(data_, text.c_str(), text.size() + 1);
  }
  ~ExactCopy() { free(data_); }
  ExactCopy(const ExactCopy &) = delete;
  ExactCopy &operator=(const ExactCopy &) = delete;
  char *get() { return data_; }

 private:
  char *data_;
};

// Every test that assembles gets its own image buffer, spare bytes marked.
class ImageBufferTest : public ::testing::Test {
 protected:
  static constexpr uint8_t kSpareMark = 0xA5;

  void SetUp() override {
    gDataConcatenated = (uint8_t *)malloc(CONCAT_BUFFER_SIZE + 16);
    ASSERT_NE(gDataConcatenated, nullptr);
    memset(gDataConcatenated, 0, CONCAT_BUFFER_SIZE);
    memset(gDataConcatenated + CONCAT_BUFFER_SIZE, kSpareMark, 16);
    gDataConcatenatedLenght = -1;
  }
  void TearDown() override {
    free(gDataConcatenated);
    gDataConcatenated = nullptr;
  }

  // Assembles a private copy of the text; the printed output goes to *printed.
  BOOL assemble(const std::string &text, std::string *printed = nullptr) {
    ExactCopy copy(text);
    ::testing::internal::CaptureStdout();
    BOOL result = ValidateFwAndConcatenateData(copy.get());
    std::string out = ::testing::internal::GetCapturedStdout();
    if (printed != nullptr) *printed = out;
    return result;
  }

  // Offsets below CONCAT_BUFFER_SIZE that do not hold 0xFF.
  std::vector<size_t> nonFillOffsets() const {
    std::vector<size_t> offsets;
    for (size_t k = 0; k < CONCAT_BUFFER_SIZE; k++)
      if (gDataConcatenated[k] != 0xFF) offsets.push_back(k);
    return offsets;
  }

  bool spareBytesUntouched() const {
    for (int k = 0; k < 16; k++)
      if (gDataConcatenated[CONCAT_BUFFER_SIZE + k] != kSpareMark) return false;
    return true;
  }
};

// One Intel HEX record with a correct checksum, upper-case, no line end.
inline std::string hexRecord(uint8_t type, uint16_t offset, const std::vector<uint8_t> &data) {
  static const char digits[] = "0123456789ABCDEF";
  std::vector<uint8_t> bytes = {(uint8_t)data.size(), (uint8_t)(offset >> 8), (uint8_t)offset,
                                type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = (uint8_t)(sum + b);
  bytes.push_back((uint8_t)(0u - sum));
  std::string line = ":";
  for (uint8_t b : bytes) {
    line += digits[b >> 4];
    line += digits[b & 15];
  }
  return line;
}

inline std::string elaRecord(uint16_t upper) {
  return hexRecord(4, 0, {(uint8_t)(upper >> 8), (uint8_t)upper});
}

#define EOF_RECORD ":00000001FF"

#endif  // IMAGETESTSUPPORT_H
