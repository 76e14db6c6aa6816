// Child processes on Windows: CreateProcess, the channel an anonymous pipe
// whose write end the child inherits, its handle value on the command line.
//
// Windows calls here return non-zero upon success, 0 upon failure; CreateFile
// returns INVALID_HANDLE_VALUE upon failure.
#include "platform/Subprocess.h"
#include "platform/win32/SystemMessageWin32.h"

#define PSAPI_VERSION 2  // GetProcessMemoryInfo from kernel32 (K32GetProcessMemoryInfo)
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

struct Subprocess {
  HANDLE process = NULL;
  DWORD id = 0;
  HANDLE channel = NULL;  // read end
  bool ended = false;
  int status = 0;
};

// One argument as the C runtime's command-line parser reads it back.
static void appendQuoted(std::string *line, const std::string &arg) {
  if (!line->empty()) *line += ' ';
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    *line += arg;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    line->append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, '\\');  // before the closing quote
  *line += '"';
}

// The child's output: a log, created new and appended to (FILE_APPEND_DATA
// alone), so that what a hook adds to it meanwhile is kept; or the null device.
static HANDLE openNewOutput(const std::string &path, SECURITY_ATTRIBUTES *inherit) {
  return CreateFileA(path.empty() ? "NUL" : path.c_str(),
                     path.empty() ? GENERIC_WRITE : FILE_APPEND_DATA | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, inherit,
                     path.empty() ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
}

// The command line, with the write end's handle value in place of the channel
// argument; ends with a NUL.
static std::vector<char> commandLine(const std::vector<std::string> &argv, HANDLE writeEnd) {
  std::string line;
  for (const std::string &arg : argv)
    appendQuoted(&line, arg == SUBPROCESS_CHANNEL_ARG ? std::to_string((uintptr_t)writeEnd) : arg);
  std::vector<char> lineBuffer(line.begin(), line.end());
  lineBuffer.push_back('\0');
  return lineBuffer;
}

// A console process group of its own: Ctrl+C at the console reaches the parent
// only; the parent passes interrupts on as CTRL_BREAK_EVENT.
static BOOL createChild(const std::string &program, std::vector<char> &line, HANDLE input,
                        HANDLE output, PROCESS_INFORMATION *info) {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  ZeroMemory(info, sizeof *info);
  return CreateProcessA(program.c_str(), line.data(), NULL, NULL, TRUE, CREATE_NEW_PROCESS_GROUP,
                        NULL, NULL, &startup, info);
}

Subprocess *subprocess_start(const std::vector<std::string> &argv, const std::string &outputPath,
                             std::string *error) {
  if (argv.empty()) {
    *error = "no program given";
    return NULL;
  }
  /* 1. Inheritable handles for the child: the channel's write end, the output
        file, the null input. The read end stays ours alone. */
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE readEnd = NULL, writeEnd = NULL;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    *error = "cannot make a pipe: " + systemError_messageOf(GetLastError());
    return NULL;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE output = openNewOutput(outputPath, &inherit);
  DWORD outputError = GetLastError();
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (output == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE) {
    *error = outputPath + ": " + systemError_messageOf(outputError);
    for (HANDLE h : {readEnd, writeEnd, output, input})
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return NULL;
  }

  /* 2. The command line, and the child started on it. */
  std::vector<char> line = commandLine(argv, writeEnd);
  PROCESS_INFORMATION info;
  BOOL started = createChild(argv[0], line, input, output, &info);
  DWORD startError = GetLastError();
  CloseHandle(writeEnd);
  CloseHandle(output);
  CloseHandle(input);
  if (!started) {
    CloseHandle(readEnd);
    *error = argv[0] + ": " + systemError_messageOf(startError);
    return NULL;
  }
  CloseHandle(info.hThread);
  Subprocess *child = new Subprocess;
  child->process = info.hProcess;
  child->id = info.dwProcessId;
  child->channel = readEnd;
  return child;
}

int subprocess_readChannel(Subprocess *child, char *buffer, int size) {
  if (child->channel == NULL) return -1;
  DWORD available = 0;
  // An anonymous pipe has no non-blocking read: look first, then read what is there.
  if (PeekNamedPipe(child->channel, NULL, 0, NULL, &available, NULL)) {
    if (available == 0) return 0;
    DWORD got = 0;
    if (ReadFile(child->channel, buffer, available < (DWORD)size ? available : (DWORD)size, &got, NULL) &&
        got > 0)
      return (int)got;
  }
  // ERROR_BROKEN_PIPE: every write end is closed.
  CloseHandle(child->channel);
  child->channel = NULL;
  return -1;
}

void subprocess_waitAny(const std::vector<Subprocess *> &children, int timeoutMs) {
  // Pipes cannot be waited on: look every few milliseconds.
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    for (Subprocess *child : children) {
      DWORD available = 0;
      if (child->channel != NULL &&
          (!PeekNamedPipe(child->channel, NULL, 0, NULL, &available, NULL) || available > 0))
        return;
    }
    Sleep(20);
  }
}

bool subprocess_finished(Subprocess *child, int *status) {
  if (!child->ended && WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(child->process, &code);
    child->ended = true;
    child->status = (int)code;
  }
  if (child->ended && status != NULL) *status = child->status;
  return child->ended;
}

void subprocess_interrupt(Subprocess *child) {
  if (!child->ended) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->id);
}

void subprocess_kill(Subprocess *child) {
  if (!child->ended) TerminateProcess(child->process, 137);
}

long subprocess_id(const Subprocess *child) { return (long)child->id; }

SubprocessUsage subprocess_usage(const Subprocess *child) {
  SubprocessUsage usage;
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(child->process, &created, &exited, &kernel, &user)) {
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    usage.cpuSeconds = (double)(k.QuadPart + u.QuadPart) / 1e7;
  }
  PROCESS_MEMORY_COUNTERS memory;
  if (GetProcessMemoryInfo(child->process, &memory, sizeof memory))
    usage.peakKiB = (long)(memory.PeakWorkingSetSize / 1024);
  return usage;
}

void subprocess_free(Subprocess *child) {
  if (child == NULL) return;
  if (!subprocess_finished(child, NULL)) {
    TerminateProcess(child->process, 137);
    WaitForSingleObject(child->process, INFINITE);
  }
  if (child->channel != NULL) CloseHandle(child->channel);
  CloseHandle(child->process);
  delete child;
}

// ---- The child's side -------------------------------------------------------------

bool subprocessChannel_open(const char *text, intptr_t *channel) {
  char *end = NULL;
  unsigned long long value = text != NULL ? strtoull(text, &end, 10) : 0;
  if (text == NULL || end == text || *end != '\0' || value == 0) return false;
  HANDLE handle = (HANDLE)(uintptr_t)value;
  if (GetFileType(handle) != FILE_TYPE_PIPE) return false;
  // Not passed on to processes this one might start.
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  *channel = (intptr_t)handle;
  return true;
}

bool subprocessChannel_write(intptr_t channel, const char *data, size_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile((HANDLE)channel, data, (DWORD)length, &written, NULL) || written == 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

// ---- Interrupts in the parent --------------------------------------------------------

static volatile LONG gInterrupts = 0;

static BOOL WINAPI countInterrupt(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    InterlockedIncrement(&gInterrupts);
    return TRUE;
  }
  return FALSE;
}

void subprocess_countInterrupts(void) { SetConsoleCtrlHandler(countInterrupt, TRUE); }

int subprocess_interruptCount(void) { return (int)gInterrupts; }

void subprocess_stopCountingInterrupts(void) { SetConsoleCtrlHandler(countInterrupt, FALSE); }

// ---- The parent's own program and console ---------------------------------------------

std::string subprocess_selfPath(const char *argv0) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
  if (n == 0 || n >= sizeof path) return argv0;
  return std::string(path, n);
}

int subprocess_consoleRows(void) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

// Handles have no per-process limit to raise.
long subprocess_reserveDescriptors(long) { return -1; }

int subprocess_consoleColumns(void) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}
