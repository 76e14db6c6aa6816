// Standard input without waiting on Windows: a reader thread blocks in
// ReadFile, which takes a pipe, a file and the console alike (the console in
// line mode hands over a line at Enter), and keeps what it read until the
// program's loop takes it.
//
// Windows calls here return non-zero upon success, 0 upon failure.
#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/StandardInput.h"

// What the reader keeps at most before it waits for the loop to take it.
#define PENDING_MAX (64 * 1024)

static CRITICAL_SECTION gLock;
static std::string gPending;  // read, not yet taken; under gLock
static bool gEnded = false;   // under gLock
static bool gStarted = false;
static HANDLE gInput = INVALID_HANDLE_VALUE;
static DWORD gConsoleModeSaved = 0;
static bool gEchoHidden = false;

static DWORD WINAPI readInput(LPVOID) {
  char buffer[512];
  for (;;) {
    EnterCriticalSection(&gLock);
    const size_t pending = gPending.size();
    LeaveCriticalSection(&gLock);
    if (pending >= PENDING_MAX) {
      Sleep(50);
      continue;
    }
    DWORD got = 0;
    SetLastError(0);
    const BOOL read = ReadFile(gInput, buffer, sizeof buffer, &got, NULL);
    // Ctrl+C during a console read ends that read with nothing: not the end.
    if (read && got == 0 && GetLastError() == ERROR_OPERATION_ABORTED) continue;
    EnterCriticalSection(&gLock);
    if (read && got > 0)
      gPending.append(buffer, got);
    else
      gEnded = true;  // a closed pipe, the end of a file, no input
    LeaveCriticalSection(&gLock);
    if (!read || got == 0) return 0;
  }
}

void standardInput_start(bool hideTyping) {
  if (gStarted) return;
  gStarted = true;
  InitializeCriticalSection(&gLock);
  gInput = GetStdHandle(STD_INPUT_HANDLE);
  if (gInput == NULL || gInput == INVALID_HANDLE_VALUE) {
    gEnded = true;
    return;
  }
  // Fails when input is no console: a pipe or a file, whose mode nothing changes.
  if (hideTyping && GetConsoleMode(gInput, &gConsoleModeSaved) &&
      SetConsoleMode(gInput, gConsoleModeSaved & ~(DWORD)ENABLE_ECHO_INPUT))
    gEchoHidden = true;
  // Returns null upon failure: then there is no input to read.
  HANDLE thread = CreateThread(NULL, 0, readInput, NULL, 0, NULL);
  if (thread == NULL)
    gEnded = true;
  else
    CloseHandle(thread);
}

int standardInput_read(char *buffer, int size) {
  if (!gStarted) return 0;
  EnterCriticalSection(&gLock);
  int taken = (int)std::min(gPending.size(), (size_t)size);
  gPending.copy(buffer, (size_t)taken);
  gPending.erase(0, (size_t)taken);
  if (taken == 0 && gEnded) taken = -1;
  LeaveCriticalSection(&gLock);
  return taken;
}

void standardInput_stop(void) {
  if (!gEchoHidden) return;
  gEchoHidden = false;
  SetConsoleMode(gInput, gConsoleModeSaved);
}
