// A thin layer over one standard file stream: create, append or read, then write and close.
#ifndef FILEAPI_H
#define FILEAPI_H

#include <stdint.h>
#include "platform/Platform.h"

BOOL FileAPI_CreateFile(const char *fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToWrite(const char *fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToRead(const char *fileName, BOOL isBinary);
BOOL FileAPI_writeToFile(const char *stringToWrite);
BOOL FileAPI_writeToFileBinary(const void *dataToWrite, uint32_t dataLength);
BOOL FileAPI_CloseFile(void);

// Replacing a file without ever losing the previous one. Between
// FileAPI_BeginReplacement(fileName) and FileAPI_EndReplacement(), creating
// that file (FileAPI_CreateFile with the same name) makes a new temporary file
// beside it, in the same folder, and appending to it (FileAPI_OpenFile_ToWrite)
// appends to that temporary; the functions, their results and their messages
// are those of the plain file. The file itself changes only by a rename, once
// every byte was written and the temporary closed without an error: at the
// close of the temporary reopened for appending (the writer has come back to
// finish it), or else at FileAPI_EndReplacement(1). A failure on the way, or
// FileAPI_EndReplacement(0) from a caller that gave up half-way, leaves
// the previous file as it was and removes the temporary. A symbolic link to a
// regular file is followed: the file it names is replaced and the link stays.
// An append with no create before it in the same replacement works on the file
// itself.
BOOL FileAPI_BeginReplacement(const char *fileName);
// keep = 0 discards a temporary not yet in place (the caller's own steps failed).
// 0 when a step on the temporary failed or the rename failed: the previous
// file is then as it was and the temporary is gone. 1 otherwise (the new file
// is in place, or there was nothing to replace). A name that leads, directly
// or through links, to anything but a regular file (a device such as
// /dev/null or NUL, a pipe) is written directly instead.
BOOL FileAPI_EndReplacement(BOOL keep);

#endif  // FILEAPI_H
