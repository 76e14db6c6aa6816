// Shell commands on Windows: %ComSpec% /d /s /v:on /c "COMMAND" in a job
// object that kills every process in it when closed, its output read from
// pipes by a thread of ours that passes on its first part.
//
// Windows calls here return non-zero upon success, 0 upon failure; CreateFile
// returns INVALID_HANDLE_VALUE upon failure.
#include "platform/ShellCommand.h"
#include "platform/win32/SystemMessageWin32.h"

#include <windows.h>
#include <string.h>

// After the shell's end, what is still in the pipes is passed on until they
// stay quiet this long (or are closed), for at most DRAIN_MAX_MS.
#define DRAIN_QUIET_MS 50
#define DRAIN_MAX_MS 1000
#define PIPE_LOOK_MS 10  // between looks at pipes that had nothing

// The command's output on its way: the read ends of its pipes (standard
// output, and standard error when it goes elsewhere) and where each goes.
struct OutputCopy {
  HANDLE from[2] = {NULL, NULL};
  HANDLE to[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  bool ownsTo[2] = {false, false};  // a file of ours, not the console's handle
  unsigned long long limit = 0, passed = 0, leftOut = 0;
  volatile LONG shellEnded = 0, done = 0;
  HANDLE thread = NULL;
};

struct ShellCommand {
  HANDLE process = NULL;
  HANDLE job = NULL;  // null when the process could not be put in one
  bool ended = false;
  int status = 0;
  OutputCopy copy;
};

// Writes all of it, as far as the destination takes it.
static bool writeAll(HANDLE to, const char *data, DWORD size) {
  while (size > 0) {
    DWORD n = 0;
    if (to == INVALID_HANDLE_VALUE || !WriteFile(to, data, size, &n, NULL) || n == 0) return false;
    data += n;
    size -= n;
  }
  return true;
}

// The thread's work: reads until every pipe is closed, or, once the shell has
// ended, until they are quiet. Up to the limit, what it reads is written on;
// the rest only counted. Pipes are looked at before each read, so that the
// thread never blocks in one.
static DWORD WINAPI copyOutput(LPVOID context) {
  OutputCopy *copy = (OutputCopy *)context;
  char data[65536];
  ULONGLONG endSeen = 0, lastRead = GetTickCount64();
  for (;;) {
    bool open = false, read = false;
    for (int i = 0; i < 2; i++) {
      if (copy->from[i] == NULL) continue;
      DWORD available = 0, n = 0;
      if (!PeekNamedPipe(copy->from[i], NULL, 0, NULL, &available, NULL) ||
          (available > 0 &&
           !ReadFile(copy->from[i], data, available < sizeof data ? available : sizeof data, &n,
                     NULL))) {
        CloseHandle(copy->from[i]);  // closed by every writer: the end of it
        copy->from[i] = NULL;
        continue;
      }
      open = true;
      if (n == 0) continue;
      read = true;
      DWORD kept = (DWORD)(copy->limit - copy->passed < n ? copy->limit - copy->passed : n);
      if (kept > 0 && !writeAll(copy->to[i], data, kept)) {
        copy->limit = copy->passed;  // a destination that fails takes nothing more
        kept = 0;
      }
      copy->passed += kept;
      copy->leftOut += n - kept;
    }
    if (!open) break;
    const ULONGLONG now = GetTickCount64();
    if (read) lastRead = now;
    if (copy->shellEnded && endSeen == 0) endSeen = now;
    // Quiet counts from the end seen at the earliest: a last look follows it.
    if (endSeen != 0 && (now - endSeen > DRAIN_MAX_MS ||
                         now - (lastRead > endSeen ? lastRead : endSeen) > DRAIN_QUIET_MS))
      break;
    if (!read) Sleep(PIPE_LOOK_MS);
  }
  InterlockedExchange(&copy->done, 1);
  return 0;
}

// This process's environment block without the names given (names compare
// without case on Windows), then theirs; ends with two NULs.
static std::vector<char> environmentBlock(const ShellEnvironment &environment) {
  std::vector<char> block;
  char *own = GetEnvironmentStringsA();
  for (const char *entry = own; entry != NULL && *entry != '\0'; entry += strlen(entry) + 1) {
    // Entries such as "=C:=C:\\" name a drive's folder: their name starts after the first '='.
    const char *equals = strchr(entry + 1, '=');
    const size_t nameLength = equals != NULL ? (size_t)(equals - entry) : strlen(entry);
    bool replaced = false;
    for (const auto &variable : environment)
      replaced = replaced || (variable.first.size() == nameLength &&
                              _strnicmp(variable.first.c_str(), entry, nameLength) == 0);
    if (!replaced) block.insert(block.end(), entry, entry + strlen(entry) + 1);
  }
  if (own != NULL) FreeEnvironmentStringsA(own);
  for (const auto &variable : environment) {
    const std::string text = variable.first + "=" + variable.second;
    block.insert(block.end(), text.begin(), text.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

static std::string shellPath(void) {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("ComSpec", path, sizeof path);
  if (n > 0 && n < sizeof path) return std::string(path, n);
  n = GetSystemDirectoryA(path, sizeof path);
  return (n > 0 && n < sizeof path ? std::string(path, n) : std::string("C:\\Windows\\System32")) +
         "\\cmd.exe";
}

// The output file, opened for appending only (FILE_APPEND_DATA without
// FILE_WRITE_DATA): each write lands at its end, after whatever the update
// wrote there meanwhile. The null device when there is none or it cannot be
// opened.
static HANDLE openExistingOutput(const std::string &path) {
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!path.empty())
    file = CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE)
    file = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  return file;
}

// The pipes the command writes into and the thread that empties them; the
// write ends, inheritable, go in writeEnds. FALSE when one could not be made
// (the last error says why); what was made is then left to the caller.
static BOOL startCopy(OutputCopy &copy, const std::string &outputPath, bool toConsole,
                      SECURITY_ATTRIBUTES *inherit, HANDLE writeEnds[2]) {
  for (int i = 0; i < (toConsole ? 2 : 1); i++) {
    if (toConsole) {
      copy.to[i] = GetStdHandle(i == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
      if (copy.to[i] == NULL) copy.to[i] = INVALID_HANDLE_VALUE;  // none: its part goes nowhere
    } else {
      copy.to[i] = openExistingOutput(outputPath);
      copy.ownsTo[i] = copy.to[i] != INVALID_HANDLE_VALUE;
    }
    // The read end stays ours; the write end is the command's.
    if (!CreatePipe(&copy.from[i], &writeEnds[i], inherit, 1 << 16) ||
        !SetHandleInformation(copy.from[i], HANDLE_FLAG_INHERIT, 0))
      return FALSE;
  }
  copy.thread = CreateThread(NULL, 0, copyOutput, &copy, 0, NULL);
  return copy.thread != NULL;
}

// Puts the started process in a job that kills everything in it when closed.
// A job that cannot be made or joined (the tool's own job forbids it on old
// systems): the shell alone is ended then, and child->job stays null.
static void putInJob(ShellCommand *child, HANDLE process) {
  child->job = CreateJobObjectA(NULL, NULL);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (child->job != NULL && (!SetInformationJobObject(child->job, JobObjectExtendedLimitInformation,
                                                      &limits, sizeof limits) ||
                             !AssignProcessToJobObject(child->job, process))) {
    CloseHandle(child->job);
    child->job = NULL;
  }
}

ShellCommand *shellCommand_start(const std::string &command, const ShellEnvironment &environment,
                                 const std::string &outputPath, bool toConsole,
                                 std::string *error, unsigned long long outputMax) {
  /* 1. Input and output. The command writes into pipes, and a thread of
        ours passes what it writes on (to the file, or to our own standard
        output and error) up to the limit. */
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ShellCommand *child = new ShellCommand;
  child->copy.limit = outputMax;
  HANDLE writeEnds[2] = {NULL, NULL};
  const BOOL ready = input != INVALID_HANDLE_VALUE &&
                     startCopy(child->copy, outputPath, toConsole, &inherit, writeEnds);

  /* 2. The command line as cmd.exe reads it: with /s, everything between the
        first quote after /c and the last one is the command, as written. */
  const std::string shell = shellPath();
  std::string line = "\"" + shell + "\" /d /s /v:on /c \"" + command + "\"";
  std::vector<char> lineBuffer(line.begin(), line.end());
  lineBuffer.push_back('\0');
  std::vector<char> block = environmentBlock(environment);

  /* 3. Started suspended, put in its job, then let go: nothing it starts can
        escape the job before it is in it. */
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnds[0];
  startup.hStdError = writeEnds[toConsole ? 1 : 0];
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  BOOL started = ready && CreateProcessA(shell.c_str(), lineBuffer.data(), NULL, NULL, TRUE,
                                         CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, block.data(),
                                         NULL, &startup, &info);
  DWORD startError = GetLastError();
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  // Ours closed, the command's are the only write ends: their end is the pipes'.
  for (HANDLE end : writeEnds)
    if (end != NULL) CloseHandle(end);
  if (!started) {
    *error = shell + ": " + systemError_messageOf(startError);
    shellCommand_free(child);
    return NULL;
  }
  child->process = info.hProcess;
  putInJob(child, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  return child;
}

// Ends everything in the job, or the shell alone when it has none.
static void endAll(ShellCommand *command) {
  if (command->job != NULL) TerminateJobObject(command->job, 1);
  else TerminateProcess(command->process, 1);
}

// Waits for the thread, once the shell has ended, and closes what it used.
static void endCopy(OutputCopy *copy) {
  InterlockedExchange(&copy->shellEnded, 1);
  if (copy->thread != NULL) {
    WaitForSingleObject(copy->thread, INFINITE);
    CloseHandle(copy->thread);
    copy->thread = NULL;
  }
  for (int i = 0; i < 2; i++) {
    if (copy->from[i] != NULL) CloseHandle(copy->from[i]);
    if (copy->ownsTo[i]) CloseHandle(copy->to[i]);
    copy->from[i] = NULL;
    copy->ownsTo[i] = false;
  }
}

bool shellCommand_finished(ShellCommand *command, int *status) {
  if (!command->ended && WaitForSingleObject(command->process, 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(command->process, &code);
    command->ended = true;
    command->status = (int)code;
    // What the shell left running goes with it.
    if (command->job != NULL) TerminateJobObject(command->job, 1);
    InterlockedExchange(&command->copy.shellEnded, 1);
  }
  // Ended once what it wrote has been passed on too.
  if (!command->ended || !command->copy.done) return false;
  endCopy(&command->copy);
  if (status != NULL) *status = command->status;
  return true;
}

unsigned long long shellCommand_outputLeftOut(const ShellCommand *command) {
  return command->copy.leftOut;
}

void shellCommand_stop(ShellCommand *command) {
  if (!command->ended) endAll(command);
}

void shellCommand_kill(ShellCommand *command) {
  if (!command->ended) endAll(command);
}

long shellCommand_id(const ShellCommand *command) { return (long)GetProcessId(command->process); }

// The job is closed with the program, which kills what is in it.
void shellCommand_killById(long) {}

void shellCommand_free(ShellCommand *command) {
  if (command == NULL) return;
  if (!command->ended && command->process != NULL) {
    endAll(command);
    WaitForSingleObject(command->process, INFINITE);
  }
  endCopy(&command->copy);
  if (command->job != NULL) CloseHandle(command->job);  // kills what is left in it
  if (command->process != NULL) CloseHandle(command->process);
  delete command;
}
