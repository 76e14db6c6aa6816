// The release check: one table of texts that the updater's assembly would
// turn into a wrong image (or refuse), run through the build's generator and
// through `TessaranFwTool image`, which must agree on the line and the reason.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "ToolCommands.h"
#include "image/HexTextCheck.h"

namespace {

namespace fs = std::filesystem;

std::string data(uint16_t offset, uint8_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t k = 0; k < count; k++) bytes[k] = (uint8_t)(offset + 3 * k + 1);
  return hexRecord(0, offset, bytes);
}

std::string lines(const std::vector<std::string> &records) {
  std::string text;
  for (const std::string &r : records) text += r + "\r\n";
  return text;
}

std::string slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Nothing a terminal would act on: no control character but the line end.
bool printable(const std::string &text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\n') || c >= 0x7F) return false;
  return true;
}

class ReleaseCheck : public ImageBufferTest {
 protected:
  void SetUp() override {
    ImageBufferTest::SetUp();
    folder_ = fs::temp_directory_path() / ("release_check_" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "release");
    fs::create_directories(folder_ / "out");
    // Two small sound FPGA files; the text under test is the .hex file,
    // which the generator checks first.
    const std::string fpga = lines({elaRecord(0), data(0, 4), hexRecord(1, 0, {})});
    std::ofstream(folder_ / "release" / "R_TX_A.mcs", std::ios::binary) << fpga;
    std::ofstream(folder_ / "release" / "R_RX_A.mcs", std::ios::binary) << fpga;
  }
  void TearDown() override {
    fs::remove_all(folder_);
    ImageBufferTest::TearDown();
  }

  int runTool(const std::string &input, const std::string &output, bool asUpdater,
              std::string *errors) {
    std::vector<std::string> args = {input, "-o", output};
    if (asUpdater) args.push_back("--as-updater");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    int status = runToolCommand("image", (int)argv.size(), argv.data());
    ::testing::internal::GetCapturedStdout();
    *errors = ::testing::internal::GetCapturedStderr();
    return status;
  }

  fs::path folder_;
};

TEST_F(ReleaseCheck, GeneratorAndToolRefuseWhatTheUpdaterWouldMisassemble) {
  const std::string ela0 = elaRecord(0);
  const std::string eof = hexRecord(1, 0, {});
  struct Row {
    const char *name;
    std::string text;
    unsigned long line;  // of the problem; 0 for a sound text
    const char *reason;  // a part of the reason
    bool refused;        // the updater's assembly itself refuses the text
  };
  const Row rows[] = {
      {"sound text", lines({ela0, data(0, 4), data(0x10, 16), hexRecord(5, 0, {0x80, 0, 0x80, 0}), eof}),
       0, "", false},
      {"out of order", lines({ela0, data(0x1000, 16), data(0, 16), eof}), 3,
       "out of ascending address order: below the data record on line 2", false},
      {"overlap", lines({ela0, data(0, 16), data(8, 16), eof}), 3,
       "overlapping the data record on line 2", false},
      {"extended segment address", lines({ela0, hexRecord(2, 0, {0x10, 0}), data(0, 16), eof}), 2,
       "extended segment address record", false},
      {"linear address of 0x0100", lines({ela0, data(0, 16), elaRecord(0x0100), data(0x10, 16), eof}),
       3, "drops its top byte", false},
      {"record type 10", lines({ela0, hexRecord(0x10, 0x20, {1, 2, 3, 4}), eof}), 2,
       "record type 10 is not 00 to 05", false},
      {"data after the end of file", lines({ela0, data(0, 4), eof, data(0x10, 4)}), 4,
       "after the end-of-file record", false},
      {"a G among the data", lines({ela0, data(0, 16).replace(17, 1, "G"), eof}), 2,
       "character 18 is not a hex digit", false},
      {"a byte 0xB0 in the address", lines({ela0, data(0, 16).replace(5, 1, "\xb0"), eof}), 2,
       "character 6 is not a hex digit", false},
      {"bad record holding an escape sequence",
       lines({ela0, ":0400000001020304F2\x1b]0;owned\x07\x1b[2J", eof}), 2,
       "not a valid Intel HEX record", true},
  };

  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const bool sound = row.line == 0;
    const fs::path hex = folder_ / "release" / "R_MCU.hex";
    std::ofstream(hex, std::ios::binary) << row.text;
    const std::string where = "R_MCU.hex:" + std::to_string(row.line) + ": ";

    // The check agrees with the assembly on what the assembly refuses, and
    // its walk places the image the assembly builds where it accepts.
    HexTextProblem problem;
    std::vector<uint8_t> placed(CONCAT_BUFFER_SIZE);
    int placedLength = -1;
    EXPECT_EQ(sound ? 0 : 1, hexTextCheck_findProblemPlacing(row.text.c_str(), &problem,
                                                             placed.data(), &placedLength));
    EXPECT_EQ(row.refused ? 0 : 1, assemble(row.text));
    if (!row.refused) {
      EXPECT_TRUE(placedLength == gDataConcatenatedLenght &&
                  memcmp(placed.data(), gDataConcatenated, CONCAT_BUFFER_SIZE) == 0);
    }
    if (!sound) {
      EXPECT_EQ(row.refused ? 1 : 0, problem.assemblyRefuses);
    }

    // The generator: the build stops with the file, the line number, the
    // reason and the line.
    const std::string command = std::string(BINIMAGE_GEN) + " " + (folder_ / "release").string() +
                                " " + (folder_ / "out").string() + " >/dev/null 2>" +
                                (folder_ / "gen.err").string();
    const int status = system(command.c_str());
    const std::string genErrors = slurp(folder_ / "gen.err");
    EXPECT_EQ(sound, status == 0) << genErrors;
    if (!sound) {
      EXPECT_NE(std::string::npos, genErrors.find(where)) << genErrors;
      EXPECT_NE(std::string::npos, genErrors.find(row.reason)) << genErrors;
    }
    EXPECT_TRUE(printable(genErrors)) << genErrors;

    // The tool: the same problem, a failure status, nothing written.
    const fs::path out = folder_ / "image.bin";
    std::string errors;
    EXPECT_EQ(sound ? 0 : 1, runTool(hex.string(), out.string(), false, &errors)) << errors;
    EXPECT_EQ(sound, fs::exists(out));
    if (!sound) {
      EXPECT_NE(std::string::npos, errors.find(where)) << errors;
      EXPECT_NE(std::string::npos, errors.find(row.reason)) << errors;
    }
    EXPECT_TRUE(printable(errors)) << errors;
    fs::remove(out);

    // --as-updater: the updater's own image, unless the updater refuses.
    EXPECT_EQ(row.refused ? 1 : 0, runTool(hex.string(), out.string(), true, &errors)) << errors;
    EXPECT_TRUE(printable(errors)) << errors;
    if (!row.refused) {
      const std::string written = slurp(out);
      ASSERT_EQ(1, assemble(row.text));
      EXPECT_EQ(std::string((const char *)gDataConcatenated, (size_t)gDataConcatenatedLenght),
                written);
    } else {
      EXPECT_FALSE(fs::exists(out));
    }
    fs::remove(out);
  }
}

}  // namespace
