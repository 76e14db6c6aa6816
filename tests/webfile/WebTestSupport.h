// Helpers shared by the web file tests: a scratch working folder, whole-file
// reads and a small Intel HEX writer for test images.
#ifndef WEBTESTSUPPORT_H
#define WEBTESTSUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace webtest {

// Runs each test in a fresh empty folder as the current working directory.
class ScratchFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    // The random part keeps two runs of the suite (say two build trees) apart.
    std::string name = std::string("web_tests_") + info->test_suite_name() + "_" + info->name() +
                       "_" + std::to_string(std::random_device{}());
    for (char &c : name)
      if (c == '/') c = '_';
    folder_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    std::filesystem::current_path(folder_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::filesystem::path folder_;

 private:
  std::filesystem::path previous_;
};

inline std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// One Intel HEX record line (CR LF ended) with its checksum.
inline std::string hexRecord(int type, unsigned address, const std::vector<uint8_t> &data) {
  static const char digits[] = "0123456789ABCDEF";
  std::vector<uint8_t> bytes = {(uint8_t)data.size(), (uint8_t)(address >> 8), (uint8_t)address,
                                (uint8_t)type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = ":";
  for (uint8_t b : bytes) {
    sum += b;
    line += digits[b >> 4];
    line += digits[b & 15];
  }
  uint8_t check = (uint8_t)(0x100 - (sum & 0xFF));
  line += digits[check >> 4];
  line += digits[check & 15];
  return line + "\r\n";
}

// Intel HEX text placing `image` at flat offset `base`, 16 bytes a record,
// with an extended linear address record at every 64 KiB block.
inline std::string hexText(const std::vector<uint8_t> &image, unsigned base = 0) {
  std::string text;
  long block = -1;
  size_t i = 0;
  while (i < image.size()) {
    unsigned address = base + (unsigned)i;
    if ((long)(address >> 16) != block) {
      block = address >> 16;
      text += hexRecord(4, 0, {(uint8_t)(block >> 8), (uint8_t)block});
    }
    // At most 16 bytes, and no record crosses a block boundary.
    size_t n = image.size() - i < 16 ? image.size() - i : 16;
    size_t room = 0x10000 - (address & 0xFFFF);
    if (n > room) n = room;
    text += hexRecord(0, address & 0xFFFF,
                      std::vector<uint8_t>(image.begin() + (long)i, image.begin() + (long)(i + n)));
    i += n;
  }
  if (image.empty()) text += hexRecord(4, 0, {0, 0});
  return text + hexRecord(1, 0, {});
}

}  // namespace webtest

#endif  // WEBTESTSUPPORT_H
