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

#endif  // FILEAPI_H
