// One file at a time over a standard buffered stream.
//
// Every operation prints a fixed message and returns 0 when something goes
// wrong; none of them stops the program. Write and close failures of the
// stream itself (a full disk shows only when the buffer is flushed at the
// close) are reported too, so a caller never takes a truncated file for a
// complete one.
#include "FileAPI.h"

#include <stdio.h>

// The one open file; null while none is open.
static FILE *fptr = NULL;

static const char *const kMsgOpenFailed = "ERROR: File does not exists";
static const char *const kMsgNotOpened = "ERROR: File does not exists or Not opened !";
static const char *const kMsgWriteFailed = "ERROR: Writing to file failed !";
static const char *const kMsgCloseFailed = "ERROR: Closing file failed, its end may be lost !";

// Closes the stream still held before a new one replaces it, so it is neither
// leaked nor left with unwritten buffered data.
static void closeHeldStream(void) {
  if (fptr == NULL) return;
  if (fclose(fptr) != 0) printf("%s\n", kMsgCloseFailed);
  fptr = NULL;
}

static BOOL openWithMode(const char *fileName, const char *mode) {
  closeHeldStream();
  fptr = (fileName != NULL) ? fopen(fileName, mode) : NULL;
  if (fptr == NULL) {
    printf("%s\n", kMsgOpenFailed);
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
    return 0;
  }
  return 1;
}

BOOL FileAPI_CloseFile(void) {
  if (fptr == NULL) {
    printf("%s\n", kMsgNotOpened);
    return 0;
  }
  // fclose flushes the buffered output: a full disk is reported here.
  // Returns 0 upon success, EOF upon failure; the stream is gone either way.
  int closeResult = fclose(fptr);
  fptr = NULL;
  if (closeResult != 0) {
    printf("%s\n", kMsgCloseFailed);
    return 0;
  }
  return 1;
}
