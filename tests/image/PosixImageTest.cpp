// Checks that need POSIX tools and devices: objcopy as an independent
// assembler, /dev/full, and an address-space limit for the splitter.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "StringOperations.h"
#include "ToolCommands.h"
#include "firmware/BinImage.h"

#if defined(__SANITIZE_ADDRESS__) || defined(FWUPGRADE_SANITIZED_BUILD)
#define UNDER_SANITIZER 1
#else
#define UNDER_SANITIZER 0
#endif

class ObjcopyCrossCheck : public ImageBufferTest {};

// objcopy's binary output starts at the lowest address that holds data and
// fills gaps with 0xFF; ours starts at flat offset 0. Past our leading fill
// the two must be the same bytes.
TEST_F(ObjcopyCrossCheck, EmbeddedImagesMatchObjcopy) {
  if (system("objcopy --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "objcopy not installed";
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  const std::string hexPath = (folder / ("image_tests_objcopy_" + std::to_string(getpid()) + ".hex")).string();
  const std::string binPath = hexPath + ".bin";
  const int expectedLeadingFill[3] = {0x8000, 0, 0};

  for (int entry = 0; entry < 3; entry++) {
    SCOPED_TRACE(AUTOGEN_FILES[entry].filePath);
    const std::string text(AUTOGEN_FILES[entry].fileData, (size_t)AUTOGEN_FILES[entry].fileDataLength);
    std::ofstream(hexPath, std::ios::binary) << text;
    std::string command = "objcopy -I ihex -O binary --gap-fill 0xff '" + hexPath + "' '" + binPath + "'";
    ASSERT_EQ(system(command.c_str()), 0) << command;
    std::ifstream in(binPath, std::ios::binary);
    const std::vector<uint8_t> theirs((std::istreambuf_iterator<char>(in)), {});

    ASSERT_EQ(assemble(text), 1);
    const int lead = gDataConcatenatedLenght - (int)theirs.size();
    EXPECT_EQ(lead, expectedLeadingFill[entry]);
    ASSERT_GE(lead, 0);
    for (int k = 0; k < lead; k++) ASSERT_EQ(gDataConcatenated[k], 0xFF) << k;
    EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), gDataConcatenated + lead))
        << "image differs from objcopy's";
  }
  std::filesystem::remove(hexPath);
  std::filesystem::remove(binPath);
}

TEST(ImageCommandOutput, WriteFailuresEndWithFailure) {
  struct OutputCase {
    const char *path;
    const char *message;
  };
  // /dev/full takes the bytes into the stream's buffer and fails at fclose.
  const OutputCase cases[] = {{"/dev/full", "image: cannot write /dev/full\n"},
                              {"/dev/null/image.bin", "image: cannot create /dev/null/image.bin\n"}};
  for (const OutputCase &c : cases) {
    std::string a = "--entry", b = "0", o = "-o", path = c.path;
    char *argv[] = {&a[0], &b[0], &o[0], &path[0]};
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(runImageCommand(4, argv), 1) << c.path;
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
  }
}

// When the piece table cannot grow, the splitter says so and ends the process
// with a failure status: a text it cannot split must not pass for success.
TEST(StrSplitDeathTest, TableThatCannotGrowEndsWithFailure) {
  if (UNDER_SANITIZER) GTEST_SKIP() << "the sanitizer's allocator ignores the address-space limit";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the message goes to standard output; let the check see it
        // 4 Mi pieces need a 64 MiB table; the limit leaves far less room.
        std::string text;
        text.reserve(8u << 20);
        for (int k = 0; k < (4 << 20); k++) text += "a:";
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (statm == NULL || fscanf(statm, "%ld", &pages) != 1) exit(3);
        fclose(statm);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (16u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) exit(4);
        str_split(&text[0], ":");
        exit(0);
      },
      ::testing::ExitedWithCode(EXIT_FAILURE), "Memoire insuffisante");
}
