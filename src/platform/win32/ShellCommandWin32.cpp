// Shell commands on Windows: %ComSpec% /d /s /v:on /c "COMMAND" in a job
// object that kills every process in it when closed.
//
// Windows calls here return non-zero upon success, 0 upon failure; CreateFile
// returns INVALID_HANDLE_VALUE upon failure.
#include "platform/ShellCommand.h"

#include <windows.h>
#include <string.h>

struct ShellCommand {
  HANDLE process = NULL;
  HANDLE job = NULL;  // null when the process could not be put in one
  bool ended = false;
  int status = 0;
};

static std::string systemMessage(DWORD code) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text,
                 sizeof text, NULL);
  std::string message = text;
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message + " (" + std::to_string(code) + ")";
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

ShellCommand *shellCommand_start(const std::string &command, const ShellEnvironment &environment,
                                 const std::string &outputPath, bool toConsole,
                                 std::string *error) {
  /* 1. Input and output, inherited. Appending only (FILE_APPEND_DATA without
        FILE_WRITE_DATA): each write lands at the file's end, after whatever
        the update wrote there meanwhile. */
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  HANDLE output = INVALID_HANDLE_VALUE;
  if (!toConsole && !outputPath.empty())
    output = CreateFileA(outputPath.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (!toConsole && output == INVALID_HANDLE_VALUE)
    output = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);

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
  startup.hStdOutput = toConsole ? GetStdHandle(STD_OUTPUT_HANDLE) : output;
  startup.hStdError = toConsole ? GetStdHandle(STD_ERROR_HANDLE) : output;
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  BOOL started = input != INVALID_HANDLE_VALUE && (toConsole || output != INVALID_HANDLE_VALUE) &&
                 CreateProcessA(shell.c_str(), lineBuffer.data(), NULL, NULL, TRUE,
                                CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, block.data(), NULL,
                                &startup, &info);
  DWORD startError = GetLastError();
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!started) {
    *error = shell + ": " + systemMessage(startError);
    return NULL;
  }
  ShellCommand *child = new ShellCommand;
  child->process = info.hProcess;
  child->job = CreateJobObjectA(NULL, NULL);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  // A job that cannot be made or joined (the tool's own job forbids it on
  // old systems): the shell alone is ended then.
  if (child->job != NULL && (!SetInformationJobObject(child->job, JobObjectExtendedLimitInformation,
                                                      &limits, sizeof limits) ||
                             !AssignProcessToJobObject(child->job, info.hProcess))) {
    CloseHandle(child->job);
    child->job = NULL;
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  return child;
}

// Ends everything in the job, or the shell alone when it has none.
static void endAll(ShellCommand *command) {
  if (command->job != NULL) TerminateJobObject(command->job, 1);
  else TerminateProcess(command->process, 1);
}

bool shellCommand_finished(ShellCommand *command, int *status) {
  if (!command->ended && WaitForSingleObject(command->process, 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(command->process, &code);
    command->ended = true;
    command->status = (int)code;
    // What the shell left running goes with it.
    if (command->job != NULL) TerminateJobObject(command->job, 1);
  }
  if (command->ended && status != NULL) *status = command->status;
  return command->ended;
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
  if (!command->ended) {
    endAll(command);
    WaitForSingleObject(command->process, INFINITE);
  }
  if (command->job != NULL) CloseHandle(command->job);  // kills what is left in it
  CloseHandle(command->process);
  delete command;
}
