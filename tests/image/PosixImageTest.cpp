// Checks that need POSIX tools and devices: objcopy as an independent
// assembler, /dev/full, and an address-space limit for the splitter.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "ToolCommands.h"
#include "firmware/BinImage.h"
#include "image/StringOperations.h"

class ObjcopyCrossCheck : public ImageBufferTest {};

// objcopy's binary starts at the lowest address holding data; ours at flat
// offset 0. Past our leading fill the bytes must be the same.
TEST_F(ObjcopyCrossCheck, EmbeddedImagesMatchObjcopy) {
  if (system("objcopy --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "objcopy not installed";
  const std::string hex = "/tmp/image_tests_objcopy_" + std::to_string(getpid()) + ".hex";
  const int leadingFill[3] = {0x8000, 0, 0};
  for (int entry = 0; entry < 3; entry++) {
    const std::string text(AUTOGEN_FILES[entry].fileData, (size_t)AUTOGEN_FILES[entry].fileDataLength);
    std::ofstream(hex, std::ios::binary) << text;
    ASSERT_EQ(system(("objcopy -I ihex -O binary --gap-fill 0xff " + hex + " " + hex + ".bin").c_str()), 0);
    std::ifstream in(hex + ".bin", std::ios::binary);
    const std::vector<uint8_t> theirs((std::istreambuf_iterator<char>(in)), {});

    ASSERT_EQ(assemble(text), 1);
    ASSERT_EQ(gDataConcatenatedLenght - (int)theirs.size(), leadingFill[entry]);
    EXPECT_EQ(std::count(gDataConcatenated, gDataConcatenated + leadingFill[entry], 0xFF), leadingFill[entry]);
    EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), gDataConcatenated + leadingFill[entry]))
        << AUTOGEN_FILES[entry].filePath;
  }
  remove(hex.c_str());
  remove((hex + ".bin").c_str());
}

TEST(ImageCommandOutput, WriteFailuresEndWithFailure) {
  // /dev/full takes the bytes into the stream's buffer and fails at fclose.
  for (std::string path : {"/dev/full", "/dev/null/image.bin"}) {
    std::string a = "--entry", b = "0", o = "-o";
    char *argv[] = {&a[0], &b[0], &o[0], &path[0]};
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(runToolCommand("image", 4, argv), 1) << path;
    ::testing::internal::GetCapturedStdout();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("image: cannot "), std::string::npos);
  }
}

// When the piece table cannot grow, the splitter says so and ends the process
// with a failure status: a text it could not split must not pass for success.
TEST(StrSplitDeathTest, TableThatCannotGrowEndsWithFailure) {
#if defined(__SANITIZE_ADDRESS__) || defined(FWUPGRADE_SANITIZED_BUILD)
  GTEST_SKIP() << "the sanitizer's allocator ignores the address-space limit";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the message goes to standard output; let the check see it
        std::string text;
        for (int k = 0; k < (4 << 20); k++) text += "a:";  // 4 Mi pieces: a 64 MiB table
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (statm == NULL || fscanf(statm, "%ld", &pages) != 1) exit(3);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (16u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) exit(4);
        str_split(&text[0], ":");
        exit(0);
      },
      ::testing::ExitedWithCode(EXIT_FAILURE), "Memoire insuffisante");
}
