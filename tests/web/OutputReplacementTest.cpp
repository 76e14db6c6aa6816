// The tool's two file writers, `image -o FILE` and `export-web`, replace their
// file only once the new one is whole: on a really full file system the
// previous file stays byte for byte, and a symbolic link in the file's place
// is replaced, not written through.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ToolCommands.h"
#include "WebTestSupport.h"

namespace {

namespace fs = std::filesystem;
using webtest::readFile;
using webtest::writeFile;

struct Writer {
  const char *name;
  const char *file;     // what it writes, in the current folder
  const char *failure;  // a part of what it prints when the file cannot be written
  int (*run)(void);
};

int imageToFile(void) {
  std::string a = "--entry", b = "0", o = "-o", f = "image.bin";
  char *argv[] = {&a[0], &b[0], &o[0], &f[0]};
  return runImageCommand(4, argv);
}
int exportWeb(void) { return runExportWebCommand(0, nullptr); }

const Writer kWriters[] = {
    {"image -o", "image.bin", "image: cannot write image.bin", imageToFile},
    {"export-web", "FwToUpload.bin", "FwToUpload.bin could not be written completely", exportWeb},
};

std::set<std::string> entries(const fs::path &folder) {
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

class OutputReplacement : public webtest::ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    // The key wait at the end of export-web returns at once.
    ASSERT_NE(nullptr, freopen("/dev/null", "r", stdin));
  }
  int run(const Writer &writer, std::string *printed) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = writer.run();
    *printed = ::testing::internal::GetCapturedStdout();
    *printed += ::testing::internal::GetCapturedStderr();
    return status;
  }
};

TEST_F(OutputReplacement, FullFileSystemLeavesThePreviousFileWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root; not checked";
  const fs::path small = folder_ / "small";
  fs::create_directory(small);
  // Returns 0 upon success, -1 upon failure.
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); not checked";

  std::string previous;
  for (int k = 0; k < 3000; k++) previous += (char)(k * 13 + 7);
  for (const Writer &writer : kWriters) {
    SCOPED_TRACE(writer.name);
    fs::current_path(small);
    writeFile(writer.file, previous);
    // Fill the file system to the last block.
    int fd = open("filler", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::vector<char> block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);

    std::string printed;
    EXPECT_EQ(1, run(writer, &printed));
    EXPECT_NE(std::string::npos, printed.find(writer.failure)) << printed;
    EXPECT_EQ(previous, readFile(writer.file));
    EXPECT_EQ((std::set<std::string>{writer.file, "filler"}), entries(small))
        << "the temporary file was left behind";
    fs::remove(writer.file);
    fs::remove("filler");
  }
  fs::current_path(folder_);
  EXPECT_EQ(0, umount(small.c_str()));
}

TEST_F(OutputReplacement, SymbolicLinkIsReplacedNotFollowed) {
  for (const Writer &writer : kWriters) {
    SCOPED_TRACE(writer.name);
    writeFile("elsewhere", "not to be touched");
    fs::create_symlink("elsewhere", writer.file);
    std::string printed;
    EXPECT_EQ(0, run(writer, &printed)) << printed;
    EXPECT_FALSE(fs::is_symlink(writer.file));
    EXPECT_TRUE(fs::is_regular_file(writer.file));
    EXPECT_GT(fs::file_size(writer.file), 100000u);
    EXPECT_EQ("not to be touched", readFile("elsewhere"));
    EXPECT_EQ((std::set<std::string>{writer.file, "elsewhere"}), entries(folder_));
    fs::remove(writer.file);
    fs::remove("elsewhere");
  }
}

}  // namespace
