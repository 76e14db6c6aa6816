// One file at a time over a standard buffered stream.
//
// Every operation prints a fixed message and returns 0 when something goes
// wrong; none of them stops the program. Write and close failures of the
// stream itself (a full disk shows only when the buffer is flushed at the
// close) are reported too, so a caller never takes a truncated file for a
// complete one.
//
// The system calls here return 0 (or a descriptor) upon success and -1 upon
// failure on POSIX, non-zero upon success and 0 upon failure on Windows, and
// the C streams' 0 or EOF; a call that departs from that says so.
#include "webfile/FileAPI.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// The one open file; null while none is open.
static FILE *fptr = NULL;

// A pending replacement (see FileAPI_BeginReplacement); null names when none.
static char *replaceTarget = NULL;     // the file to replace, as the caller names it
static char *replacePath = NULL;       // the file the rename replaces (a link's target)
static char *replaceTemporary = NULL;  // its temporary, once created
static BOOL replaceFailed = 0;         // a step on the temporary failed
static BOOL streamIsTemporary = 0;     // fptr writes to the temporary
static BOOL streamAppends = 0;         // ... and was opened for appending
#ifndef _WIN32
// A pipe written directly within a replacement stays open for writing from
// its create to the end of the replacement: between the create's close and
// the append that finishes the file, its reader would otherwise see the end.
static int heldPipe = -1;
#endif

static const char *const kMsgOpenFailed = "ERROR: File does not exists";
static const char *const kMsgNotOpened = "ERROR: File does not exists or Not opened !";
static const char *const kMsgWriteFailed = "ERROR: Writing to file failed !";
static const char *const kMsgCloseFailed = "ERROR: Closing file failed, its end may be lost !";

static void noteFailure(void) {
  if (streamIsTemporary) replaceFailed = 1;
}

static void discardTemporary(void) {
  if (replaceTemporary == NULL) return;
  (void)remove(replaceTemporary);  // nothing more to do when it fails
  free(replaceTemporary);
  replaceTemporary = NULL;
}

// Puts the closed temporary in the file's place (for a symbolic link, in
// place of the file it names: the link stays a link).
static BOOL publishTemporary(void) {
  const char *destination = replacePath != NULL ? replacePath : replaceTarget;
#ifdef _WIN32
  // Write-through: the move reaches the disk before it returns, as the
  // temporary's data did at its close.
  BOOL moved = MoveFileExA(replaceTemporary, destination,
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  BOOL moved = rename(replaceTemporary, destination) == 0;
#endif
  if (!moved) {
    printf("ERROR: Replacing %s failed, the previous file is kept !\n", replaceTarget);
    discardTemporary();
    return 0;
  }
  free(replaceTemporary);
  replaceTemporary = NULL;
  return 1;
}

// How the file a path names is written, decided on what the path leads to
// (through any symbolic link): a regular file is replaced through a temporary
// beside it, a missing one is created the same way; anything else (a device
// such as /dev/null or /dev/full, NUL on Windows, a pipe) is written directly,
// since a rename would put a plain file in its place and hide a write that
// must fail. Returns 1 to replace, with the path to replace in replacePath
// (the link's target for a link, so the link stays), 0 to write directly.
static BOOL chooseReplacement(const char *fileName) {
  free(replacePath);
  replacePath = NULL;
#ifdef _WIN32
  // Opening with no access right asks nothing of the device and works for
  // NUL, CON and the COM ports as for files. INVALID_HANDLE_VALUE upon
  // failure (missing file: nothing to keep).
  HANDLE handle = CreateFileA(fileName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (handle == INVALID_HANDLE_VALUE) return 1;
  // Returns FILE_TYPE_DISK for a file or folder, FILE_TYPE_CHAR for a device.
  DWORD type = GetFileType(handle);
  CloseHandle(handle);
  return type == FILE_TYPE_DISK;
#else
  struct stat status;
  // Fails for a missing path or a link that leads nowhere; the entry itself
  // is then replaced.
  if (stat(fileName, &status) != 0) return 1;
  if (!S_ISREG(status.st_mode)) return 0;
  char resolved[PATH_MAX];
  // Null upon failure: the name is then replaced as it is.
  if (realpath(fileName, resolved) != NULL && strcmp(resolved, fileName) != 0) {
    replacePath = (char *)malloc(strlen(resolved) + 1);
    if (replacePath != NULL) strcpy(replacePath, resolved);
  }
  return 1;
#endif
}

// A new, empty temporary beside the file, opened with `mode`; null on failure.
// Its name is the file's name plus a unique suffix, so it lies in the same
// folder and the final rename stays inside one file system.
static FILE *createTemporary(const char *mode) {
  discardTemporary();
  const char *target = replacePath != NULL ? replacePath : replaceTarget;
  size_t size = strlen(target) + 32;
  replaceTemporary = (char *)malloc(size);
  if (replaceTemporary == NULL) return NULL;
  FILE *stream = NULL;
#ifdef _WIN32
  static unsigned serial = 0;
  snprintf(replaceTemporary, size, "%s.%u-%u.tmp", target, (unsigned)_getpid(), ++serial);
  stream = fopen(replaceTemporary, mode);
#else
  snprintf(replaceTemporary, size, "%s.XXXXXX", target);
  int fd = mkstemp(replaceTemporary);
  if (fd >= 0) {
    // mkstemp makes the file private (0600); give it the permissions a
    // created file gets.
    mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, 0666 & ~mask);
    stream = fdopen(fd, mode);
    if (stream == NULL) close(fd);
  }
#endif
  if (stream == NULL) {
    free(replaceTemporary);
    replaceTemporary = NULL;
  }
  return stream;
}

// Closes the stream still held before a new one replaces it, so it is neither
// leaked nor left with unwritten buffered data.
static void closeHeldStream(void) {
  if (fptr == NULL) return;
  if (fclose(fptr) != 0) {
    printf("%s\n", kMsgCloseFailed);
    noteFailure();
  }
  fptr = NULL;
  streamIsTemporary = 0;
}

static BOOL openWithMode(const char *fileName, const char *mode) {
  closeHeldStream();
  BOOL replacing = fileName != NULL && replaceTarget != NULL && strcmp(fileName, replaceTarget) == 0;
  streamAppends = mode[0] == 'a';
  // Decided at the create, which starts the temporary; the appends that
  // finish it keep to that decision.
  if (replacing && mode[0] == 'w') {
    replacing = chooseReplacement(fileName);
#ifndef _WIN32
    struct stat status;
    // open blocks until the pipe has a reader, as the fopen below would.
    if (!replacing && heldPipe < 0 && stat(fileName, &status) == 0 && S_ISFIFO(status.st_mode))
      heldPipe = open(fileName, O_WRONLY | O_CLOEXEC);
#endif
  }
  else if (replacing && mode[0] == 'a') replacing = replaceTemporary != NULL || replaceFailed;
  else if (replacing) replacing = 0;
  if (replacing && mode[0] == 'w') {
    replaceFailed = 0;
    fptr = createTemporary(mode);
    streamIsTemporary = 1;
  } else if (replacing && mode[0] == 'a' && (replaceTemporary != NULL || replaceFailed)) {
    // After a failed step the previous file must not be appended to.
    fptr = replaceTemporary != NULL ? fopen(replaceTemporary, mode) : NULL;
    streamIsTemporary = 1;
  } else {
    fptr = (fileName != NULL) ? fopen(fileName, mode) : NULL;
    streamIsTemporary = 0;
  }
  if (fptr == NULL) {
    printf("%s\n", kMsgOpenFailed);
    noteFailure();
    streamIsTemporary = 0;
    return 0;
  }
  return 1;
}

BOOL FileAPI_CreateFile(const char *fileName, BOOL isBinary) {
  return openWithMode(fileName, isBinary == 1 ? "wb" : "w");
}

BOOL FileAPI_OpenFile_ToWrite(const char *fileName, BOOL isBinary) {
  return openWithMode(fileName, isBinary == 1 ? "ab" : "a");
}

BOOL FileAPI_OpenFile_ToRead(const char *fileName, BOOL isBinary) {
  return openWithMode(fileName, isBinary == 1 ? "rb" : "r");
}

BOOL FileAPI_writeToFile(const char *stringToWrite) {
  if (fptr == NULL) {
    printf("%s\n", kMsgNotOpened);
    return 0;
  }
  if (stringToWrite == NULL || fputs(stringToWrite, fptr) == EOF) {
    printf("%s\n", kMsgWriteFailed);
    noteFailure();
    return 0;
  }
  return 1;
}

BOOL FileAPI_writeToFileBinary(const void *dataToWrite, uint32_t dataLength) {
  if (fptr == NULL) {
    printf("%s\n", kMsgNotOpened);
    return 0;
  }
  if (dataLength == 0) return 1;
  // fwrite returns the count the stream took; anything short is a failure.
  if (dataToWrite == NULL || fwrite(dataToWrite, 1, dataLength, fptr) != dataLength) {
    printf("%s\n", kMsgWriteFailed);
    noteFailure();
    return 0;
  }
  return 1;
}

BOOL FileAPI_CloseFile(void) {
  if (fptr == NULL) {
    printf("%s\n", kMsgNotOpened);
    return 0;
  }
  int closeResult = 0;
  // A temporary about to replace a file reaches the disk before the rename,
  // so that a crash cannot leave an empty file in the previous one's place.
#ifdef _WIN32
  if (streamIsTemporary &&
      (fflush(fptr) != 0 || !FlushFileBuffers((HANDLE)_get_osfhandle(_fileno(fptr)))))
    closeResult = EOF;
#else
  if (streamIsTemporary && (fflush(fptr) != 0 || fsync(fileno(fptr)) != 0)) closeResult = EOF;
#endif
  // fclose flushes the buffered output: a full disk is reported here.
  // The stream is gone either way.
  if (fclose(fptr) != 0) closeResult = EOF;
  fptr = NULL;
  BOOL finishing = streamIsTemporary && streamAppends;
  if (closeResult != 0) {
    printf("%s\n", kMsgCloseFailed);
    noteFailure();
  }
  streamIsTemporary = 0;
  // The temporary reopened for appending is complete once closed.
  if (finishing) {
    if (replaceFailed) {
      discardTemporary();
      return 0;
    }
    return publishTemporary();
  }
  return closeResult == 0;
}

BOOL FileAPI_BeginReplacement(const char *fileName) {
  (void)FileAPI_EndReplacement(0);  // at most one replacement at a time
  if (fileName == NULL) return 0;
  size_t size = strlen(fileName) + 1;
  replaceTarget = (char *)malloc(size);
  if (replaceTarget == NULL) return 0;
  memcpy(replaceTarget, fileName, size);
  replaceFailed = 0;
  return 1;
}

BOOL FileAPI_EndReplacement(BOOL keep) {
  if (replaceTarget == NULL) return 0;
  if (fptr != NULL && streamIsTemporary) closeHeldStream();
  if (!keep) replaceFailed = 1;
  BOOL done = !replaceFailed;
  if (replaceTemporary != NULL) {
    if (replaceFailed)
      discardTemporary();
    else
      done = publishTemporary();
  }
  free(replaceTarget);
  replaceTarget = NULL;
  free(replacePath);
  replacePath = NULL;
  replaceFailed = 0;
#ifndef _WIN32
  if (heldPipe >= 0) close(heldPipe);
  heldPipe = -1;
#endif
  return done;
}
