// One file at a time over a standard buffered stream.
//
// Every operation prints a fixed message and returns 0 when something goes
// wrong; none of them stops the program. Write and close failures of the
// stream itself (a full disk shows only when the buffer is flushed at the
// close) are reported too, so a caller never takes a truncated file for a
// complete one.
#include "FileAPI.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

// The one open file; null while none is open.
static FILE *fptr = NULL;

// A pending replacement (see FileAPI_BeginReplacement); null names when none.
static char *replaceTarget = NULL;     // the file to replace, as the caller names it
static char *replaceTemporary = NULL;  // its temporary, once created
static BOOL replaceFailed = 0;         // a step on the temporary failed
static BOOL streamIsTemporary = 0;     // fptr writes to the temporary
static BOOL streamAppends = 0;         // ... and was opened for appending

static const char *const kMsgOpenFailed = "ERROR: File does not exists";
static const char *const kMsgNotOpened = "ERROR: File does not exists or Not opened !";
static const char *const kMsgWriteFailed = "ERROR: Writing to file failed !";
static const char *const kMsgCloseFailed = "ERROR: Closing file failed, its end may be lost !";

static void noteFailure(void) {
  if (streamIsTemporary) replaceFailed = 1;
}

static void discardTemporary(void) {
  if (replaceTemporary == NULL) return;
  // Returns 0 upon success, non-zero upon failure; nothing more to do then.
  (void)remove(replaceTemporary);
  free(replaceTemporary);
  replaceTemporary = NULL;
}

// Puts the closed temporary in the file's place. A rename replaces the
// directory entry itself, so a symbolic link there is replaced, not followed.
static BOOL publishTemporary(void) {
#ifdef _WIN32
  // Returns non-zero upon success, 0 upon failure.
  BOOL moved = MoveFileExA(replaceTemporary, replaceTarget, MOVEFILE_REPLACE_EXISTING) != 0;
#else
  // Returns 0 upon success, -1 upon failure.
  BOOL moved = rename(replaceTemporary, replaceTarget) == 0;
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

// A missing file, a regular file or a symbolic link is replaced through a
// temporary; anything else (a device such as /dev/null, a pipe) is written
// directly, since a rename would put a plain file in its place.
static BOOL replaceableTarget(const char *fileName) {
#ifdef _WIN32
  (void)fileName;
  return 1;
#else
  struct stat status;
  // Returns 0 upon success, -1 upon failure (missing file: nothing to keep).
  if (lstat(fileName, &status) != 0) return 1;
  return S_ISREG(status.st_mode) || S_ISLNK(status.st_mode);
#endif
}

// A new, empty temporary beside the file, opened with `mode`; null on failure.
// Its name is the file's name plus a unique suffix, so it lies in the same
// folder and the final rename stays inside one file system.
static FILE *createTemporary(const char *mode) {
  discardTemporary();
  size_t size = strlen(replaceTarget) + 32;
  replaceTemporary = (char *)malloc(size);
  if (replaceTemporary == NULL) return NULL;
  FILE *stream = NULL;
#ifdef _WIN32
  static unsigned serial = 0;
  snprintf(replaceTemporary, size, "%s.%u-%u.tmp", replaceTarget, (unsigned)_getpid(), ++serial);
  stream = fopen(replaceTemporary, mode);
#else
  snprintf(replaceTemporary, size, "%s.XXXXXX", replaceTarget);
  // Returns a descriptor upon success, -1 upon failure.
  int fd = mkstemp(replaceTemporary);
  if (fd >= 0) {
    // mkstemp makes the file private (0600); give it the permissions a
    // created file gets.
    mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, 0666 & ~mask);  // Returns 0 upon success, -1 upon failure.
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
  BOOL replacing = fileName != NULL && replaceTarget != NULL &&
                   strcmp(fileName, replaceTarget) == 0 && replaceableTarget(fileName);
  streamAppends = mode[0] == 'a';
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
#ifndef _WIN32
  // A temporary about to replace a file reaches the disk before the rename,
  // so that a crash cannot leave an empty file in the previous one's place.
  // fflush returns 0 upon success, EOF upon failure; fsync 0 / -1.
  if (streamIsTemporary && (fflush(fptr) != 0 || fsync(fileno(fptr)) != 0)) closeResult = EOF;
#endif
  // fclose flushes the buffered output: a full disk is reported here.
  // Returns 0 upon success, EOF upon failure; the stream is gone either way.
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
  replaceFailed = 0;
  return done;
}
