// The console set-up on Windows: the bytes printed reach standard output
// unchanged (no "\n" -> "\r\n" translation) and at once (no buffering).
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/Platform.h"

namespace {

std::string fileContent(const char *path) {
  std::string content;
  FILE *f = fopen(path, "rb");
  if (f == NULL) return content;
  char chunk[256];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, got);
  fclose(f);
  return content;
}

}  // namespace

TEST(ConsoleWin32, PrintsTheBytesAsTheyAreAndAtOnce) {
  char path[L_tmpnam + 16];
  ASSERT_EQ(tmpnam_s(path, sizeof path), 0);
  // Standard output goes to a file opened in the CRT's default text mode, as a
  // console or a redirection would be before the set-up.
  fflush(stdout);
  int saved = _dup(_fileno(stdout));
  ASSERT_GE(saved, 0);
  int file = -1;
  ASSERT_EQ(_sopen_s(&file, path, _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT, _SH_DENYNO,
                     _S_IREAD | _S_IWRITE),
            0);
  ASSERT_EQ(_dup2(file, _fileno(stdout)), 0);

  platform_consoleInit();
  // A line as the updater prints it ("OK\r" and one "\n"), a text without a
  // line end, and a percentage overwritten with backspaces.
  printf("OK\r\n");
  printf("Detecting..");
  printf("%3d%%\b\b\b\b", 50);
  std::string seen = fileContent(path);  // before any flush

  fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);
  _close(file);
  remove(path);

  EXPECT_EQ(seen, std::string("OK\r\nDetecting.. 50%\b\b\b\b"));
}
