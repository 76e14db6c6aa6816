// export-web: writes FwToUpload.bin from the embedded microcontroller image.
// verify-web: checks a web update file and tells what it holds.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ToolCommands.h"
#include "platform/ToolName.h"
#include "updater/TessaranFwUpgrade.h"
#include "webfile/FileAPI.h"
#include "webfile/WebFileVerifier.h"

int runExportWeb(const ToolOptions &) {
  platform_consoleInit();
  if (!allocateWorkingBuffers()) return 1;
  // The writer creates the file, closes it, reopens it to append the body and
  // closes it again; as a replacement, all of that goes to a temporary file
  // that takes the file's place only once complete, so a failure (a full
  // disk) leaves a previous FwToUpload.bin whole.
  FileAPI_BeginReplacement(FIRMWARE_FILE_NAME_FOR_WEB);
  BOOL written = createFirmwareFileForWeb();
  // A writer that stopped half-way (an image too large for the Base64 text
  // leaves the header only) must not replace anything.
  written &= FileAPI_EndReplacement(written);
  releaseWorkingBuffers();
  return written ? 0 : 1;
}

// Reads the whole file, refusing one beyond WEB_FILE_MAX_SIZE. Null on failure,
// with the reason printed.
static unsigned char *readWholeFile(const char *path, size_t *size) {
  FILE *f = fopen(path, "rb");
  if (f == NULL) {
    printf("verify-web: cannot open %s\n", path);
    return NULL;
  }
  // One byte more than the limit tells an oversized file from one at the limit.
  unsigned char *data = (unsigned char *)malloc((size_t)WEB_FILE_MAX_SIZE + 1);
  if (data == NULL) {
    fclose(f);
    printf("verify-web: out of memory\n");
    return NULL;
  }
  *size = fread(data, 1, (size_t)WEB_FILE_MAX_SIZE + 1, f);
  int readError = ferror(f);
  fclose(f);
  if (readError) {
    free(data);
    printf("verify-web: cannot read %s\n", path);
    return NULL;
  }
  if (*size > (size_t)WEB_FILE_MAX_SIZE) {
    free(data);
    printf("verify-web: %s is larger than %d bytes, not a web update file\n", path,
           WEB_FILE_MAX_SIZE);
    return NULL;
  }
  return data;
}

int verifyWebUsage(void) {
  fprintf(stderr, VERIFY_WEB_USAGE "\n");
  return 2;
}

int runVerifyWeb(const ToolOptions &options) {
  const std::vector<std::string> &files = options.verifyWeb.files;
  if (files.size() > 1) return verifyWebUsage();
  const char *path = files.empty() ? FIRMWARE_FILE_NAME_FOR_WEB : files[0].c_str();

  size_t size = 0;
  unsigned char *data = readWholeFile(path, &size);
  if (data == NULL) return 1;

  WebFileReport report;
  int ok = webFileVerifier_verify(data, size, &report);
  free(data);

  printf("File            : %s (%zu bytes)\n", path, size);
  printf("Maker           : %s\n", report.maker);
  printf("Model           : %s\n", report.model);
  printf("Release         : %s\n", report.release);
  printf("Checksum line   : %u\n", (unsigned)report.headerCheckSum);
  printf("Length line     : %ld\n", report.headerLength);
  printf("Body            : %ld Base64 characters in %ld lines\n", report.bodyCharacters,
         report.bodyLines);
  printf("Decoded         : %ld bytes, checksum of the image %u\n", report.decodedBytes,
         (unsigned)report.decodedCheckSum);
  if (!ok) {
    printf("FAILED: %s\n", report.problem);
    return 1;
  }
  printf("OK: header, line structure, length, checksum and padding agree\n");
  return 0;
}
