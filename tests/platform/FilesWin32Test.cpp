// A file replaced whole on Windows while a reader holds it open without
// delete sharing, as a web server sending the station page does.
#include <stdio.h>
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/Files.h"

namespace {

std::string filesContent(const std::string &path) {
  std::string content;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == NULL) return "(none)";
  char chunk[256];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, got);
  fclose(f);
  return content;
}

DWORD WINAPI filesLetGo(LPVOID handle) {
  Sleep(20);
  CloseHandle((HANDLE)handle);
  return 0;
}

}  // namespace

TEST(FilesWin32, ReplacesAFileItsReaderLetsGoOfSoon) {
  char folder[MAX_PATH];
  ASSERT_NE(GetTempPathA(sizeof folder, folder), 0u);
  const std::string path = std::string(folder) + "fw-files-" +
                           std::to_string(GetCurrentProcessId()) + "-page.html";
  std::string error;
  ASSERT_TRUE(files_replace(path, "first", &error)) << error;
  const struct {
    bool letGo;  // the reader closes the file 20 ms on; else it holds it throughout
    const char *text, *content, *reason;
  } rows[] = {
      {true, "second", "second", ""},
      {false, "third", "second", "(5)"},  // the system's ERROR_ACCESS_DENIED; errno told nothing
  };
  for (const auto &row : rows) {
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    HANDLE thread = row.letGo ? CreateThread(NULL, 0, filesLetGo, reader, 0, NULL) : NULL;
    error.clear();
    EXPECT_EQ(files_replace(path, row.text, &error), row.letGo) << row.text;
    if (thread != NULL) {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    } else {
      CloseHandle(reader);
    }
    EXPECT_EQ(error.empty(), *row.reason == '\0') << row.text << ": " << error;
    EXPECT_NE(error.find(row.reason), std::string::npos) << row.text << ": " << error;
    EXPECT_EQ(filesContent(path), row.content);
    // No temporary file is left beside it.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((std::string(folder) + ".fw-files-*.tmp").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << found.cFileName;
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
  }
  DeleteFileA(path.c_str());
}
