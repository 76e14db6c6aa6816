// The tool's two file writers, `image -o FILE` and `export-web`, replace their
// file only once the new one is whole: on a really full file system the
// previous file stays byte for byte; what the path names, through any link,
// decides between replacing a file and writing a device or pipe directly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ToolCommands.h"
#include "../webfile/WebTestSupport.h"

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
  return runToolCommand("image", 4, argv);
}
int exportWeb(void) { return runToolCommand("export-web", 0, nullptr); }

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

// What the path names decides how it is written, through any link: a regular
// file is replaced whole (for a link, the file it names; the link stays), a
// missing one is created, a device or a pipe is written directly: a link to
// /dev/null stays one, and a write to /dev/full fails.
TEST_F(OutputReplacement, TheTargetThePathNamesDecides) {
  enum Kind { MISSING, FILE_, LINK_TO_FILE, LINK_TO_NULL, LINK_TO_FULL, FIFO };
  struct Case {
    const char *what;
    Kind kind;
    int status;
  } cases[] = {
      {"missing", MISSING, 0},           {"regular file", FILE_, 0},
      {"link to a file", LINK_TO_FILE, 0}, {"link to /dev/null", LINK_TO_NULL, 0},
      {"link to /dev/full", LINK_TO_FULL, 1}, {"FIFO", FIFO, 0},
  };
  for (const Writer &writer : kWriters) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(writer.name) + ", " + c.what);
      const fs::path path = folder_ / writer.file;
      if (c.kind == FILE_) writeFile(writer.file, "previous");
      if (c.kind == LINK_TO_FILE) {
        writeFile("elsewhere", "previous");
        fs::create_symlink("elsewhere", path);
      }
      if (c.kind == LINK_TO_NULL) fs::create_symlink("/dev/null", path);
      if (c.kind == LINK_TO_FULL) fs::create_symlink("/dev/full", path);
      std::string piped;
      std::thread reader;
      if (c.kind == FIFO) {
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        reader = std::thread([&piped, path] { piped = readFile(path.string()); });
      }

      std::string printed;
      EXPECT_EQ(c.status, run(writer, &printed)) << printed;
      if (reader.joinable()) {
        // A writer that never opened the pipe leaves the reader waiting in its
        // open: a writer's open and close of our own end it (with nothing read).
        int wake = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (wake >= 0) close(wake);
        reader.join();
      }
      if (c.status != 0) {
        EXPECT_NE(std::string::npos, printed.find(writer.failure)) << printed;
      }

      switch (c.kind) {
        case MISSING:
        case FILE_:
          EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
          EXPECT_GT(fs::file_size(path), 100000u);
          break;
        case LINK_TO_FILE:
          EXPECT_TRUE(fs::is_symlink(path));
          EXPECT_GT(fs::file_size("elsewhere"), 100000u);
          break;
        case LINK_TO_NULL:
        case LINK_TO_FULL:
          EXPECT_TRUE(fs::is_symlink(path));
          break;
        case FIFO:
          EXPECT_TRUE(fs::is_fifo(fs::symlink_status(path)));
          EXPECT_GT(piped.size(), 100000u);
          break;
      }
      EXPECT_TRUE(fs::is_character_file("/dev/null") && fs::is_character_file("/dev/full"));
      // No temporary is left beside the file (nor beside the link's target).
      std::set<std::string> expected{writer.file};
      if (c.kind == LINK_TO_FILE) expected.insert("elsewhere");
      EXPECT_EQ(expected, entries(folder_));
      fs::remove(path);
      fs::remove("elsewhere");
    }
  }
}

}  // namespace
