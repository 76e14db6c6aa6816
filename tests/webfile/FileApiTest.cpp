// The one-file layer: its modes, its two states and its messages.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "WebTestSupport.h"
#include "webfile/FileAPI.h"

namespace {

using webtest::readFile;
using webtest::writeFile;

const std::string kFileOpenFailed = "ERROR: File does not exists\n";
const std::string kFileNotOpened = "ERROR: File does not exists or Not opened !\n";

class FileApiTest : public webtest::ScratchFolderTest {
 protected:
  void TearDown() override {
    // Leave no stream behind for the next test.
    ::testing::internal::CaptureStdout();
    FileAPI_CloseFile();
    ::testing::internal::GetCapturedStdout();
    ScratchFolderTest::TearDown();
  }
};

TEST_F(FileApiTest, CreateEmptiesAndOpenToWriteAppends) {
  writeFile("f.bin", "old content");
  ASSERT_EQ(1, FileAPI_CreateFile("f.bin", 1));
  EXPECT_EQ(1, FileAPI_writeToFileBinary("new", 3));
  EXPECT_EQ(1, FileAPI_CloseFile());
  EXPECT_EQ("new", readFile("f.bin"));

  ASSERT_EQ(1, FileAPI_OpenFile_ToWrite("f.bin", 1));
  EXPECT_EQ(1, FileAPI_writeToFileBinary("\r\n", 2));  // bytes go out unchanged
  EXPECT_EQ(1, FileAPI_writeToFileBinary("never", 0));  // nothing to write
  EXPECT_EQ(1, FileAPI_CloseFile());
  EXPECT_EQ("new\r\n", readFile("f.bin"));

  // Opening a missing file for writing creates it.
  ASSERT_EQ(1, FileAPI_OpenFile_ToWrite("g.txt", 0));
  EXPECT_EQ(1, FileAPI_writeToFile("text"));
  EXPECT_EQ(1, FileAPI_CloseFile());
  EXPECT_EQ("text", readFile("g.txt"));

  // Reading needs an existing file; nothing is written through it.
  ASSERT_EQ(1, FileAPI_OpenFile_ToRead("g.txt", 1));
  EXPECT_EQ(1, FileAPI_CloseFile());
  EXPECT_EQ("text", readFile("g.txt"));
}

TEST_F(FileApiTest, OnlyIsBinaryOneIsBinaryMode) {
  // Text mode is the platform's: compare with what the C library's own text
  // mode makes of the same characters.
  FILE *reference = fopen("reference.txt", "w");
  ASSERT_NE(nullptr, reference);
  fputs("a\nb\r\n", reference);
  fclose(reference);
  const std::string textForm = readFile("reference.txt");

  struct Row {
    BOOL isBinary;
    std::string expected;
  };
  const Row rows[] = {{1, "a\nb\r\n"}, {0, textForm}, {2, textForm}, {-1, textForm}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.isBinary);
    ASSERT_EQ(1, FileAPI_CreateFile("mode.txt", row.isBinary));
    EXPECT_EQ(1, FileAPI_writeToFile("a\nb\r\n"));
    EXPECT_EQ(1, FileAPI_CloseFile());
    EXPECT_EQ(row.expected, readFile("mode.txt"));
  }
}

TEST_F(FileApiTest, NoFileOpenEveryOperationFailsWithItsMessage) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(0, FileAPI_OpenFile_ToRead("missing.bin", 1));
  EXPECT_EQ(0, FileAPI_writeToFileBinary("x", 1));
  EXPECT_EQ(0, FileAPI_writeToFile("x"));
  EXPECT_EQ(0, FileAPI_CloseFile());
  EXPECT_EQ(kFileOpenFailed + kFileNotOpened + kFileNotOpened + kFileNotOpened,
            ::testing::internal::GetCapturedStdout());
  EXPECT_FALSE(std::filesystem::exists("missing.bin"));

  // Closing twice: the second close finds no file.
  ASSERT_EQ(1, FileAPI_CreateFile("f.bin", 1));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(1, FileAPI_CloseFile());
  EXPECT_EQ(0, FileAPI_CloseFile());
  EXPECT_EQ(kFileNotOpened, ::testing::internal::GetCapturedStdout());

  // A failed open leaves no file open, even after a good one was closed.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(0, FileAPI_CreateFile("no_such_folder/f.bin", 1));
  EXPECT_EQ(0, FileAPI_writeToFileBinary("x", 1));
  EXPECT_EQ(kFileOpenFailed + kFileNotOpened, ::testing::internal::GetCapturedStdout());
}

TEST_F(FileApiTest, OpeningAgainClosesTheHeldFileWithItsData) {
  ASSERT_EQ(1, FileAPI_CreateFile("first.bin", 1));
  ASSERT_EQ(1, FileAPI_writeToFileBinary("buffered", 8));
  ASSERT_EQ(1, FileAPI_CreateFile("second.bin", 1));
  EXPECT_EQ("buffered", readFile("first.bin"));
  EXPECT_EQ(1, FileAPI_writeToFileBinary("two", 3));
  EXPECT_EQ(1, FileAPI_CloseFile());
  EXPECT_EQ("two", readFile("second.bin"));
}

// A replacement: the file changes once, whole, or not at all; no temporary
// file stays behind either way.
TEST_F(FileApiTest, ReplacementPutsTheFileInPlaceOnlyWhenComplete) {
  const struct {
    const char *name;
    bool previous;  // an old file is there
    bool append;    // the writer reopens the file to append its second part
    BOOL keep;      // what the writer tells FileAPI_EndReplacement
    const char *afterWriting;  // the file before FileAPI_EndReplacement
    const char *afterEnd;      // and after it; null: no file
  } rows[] = {
      {"one opening", true, false, 1, "old", "head"},
      {"two openings: in place at the second close", true, true, 1, "headtail", "headtail"},
      {"writer gave up", true, false, 0, "old", "old"},
      {"writer gave up, no previous file", false, false, 0, nullptr, nullptr},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    if (row.previous) writeFile("f.bin", "old");
    ASSERT_EQ(1, FileAPI_BeginReplacement("f.bin"));
    ASSERT_EQ(1, FileAPI_CreateFile("f.bin", 1));
    ASSERT_EQ(1, FileAPI_writeToFileBinary("head", 4));
    ASSERT_EQ(1, FileAPI_CloseFile());
    if (row.append) {
      ASSERT_EQ(1, FileAPI_OpenFile_ToWrite("f.bin", 1));
      ASSERT_EQ(1, FileAPI_writeToFileBinary("tail", 4));
      ASSERT_EQ(1, FileAPI_CloseFile());
    }
    EXPECT_EQ(row.afterWriting != nullptr, std::filesystem::exists("f.bin"));
    if (row.afterWriting != nullptr) {
      EXPECT_EQ(row.afterWriting, readFile("f.bin"));
    }
    EXPECT_EQ(row.keep, FileAPI_EndReplacement(row.keep));
    EXPECT_EQ(row.afterEnd != nullptr, std::filesystem::exists("f.bin"));
    if (row.afterEnd != nullptr) {
      EXPECT_EQ(row.afterEnd, readFile("f.bin"));
    }
    const auto entries = std::distance(std::filesystem::directory_iterator(folder_), {});
    EXPECT_EQ(row.afterEnd != nullptr ? 1 : 0, entries) << "a temporary file was left behind";
    std::filesystem::remove("f.bin");
  }
}

}  // namespace
