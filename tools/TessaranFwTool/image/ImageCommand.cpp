// image: assembles an embedded release text or an Intel HEX / MCS file into
// its flat binary image and writes the image to a file.
//
//   image --entry N -o FILE [--as-updater]   catalogue entry N (0 MCU, 1 TX FPGA, 2 RX FPGA)
//   image HEXFILE -o FILE [--as-updater]     any Intel HEX or MCS file
//
// The image written is what the updater sends: gDataConcatenatedLenght bytes
// from offset 0, 0xFF fill included. The text is first put through the
// release check: a text the updater would assemble with lost, overlapped or
// misplaced data is reported (file, line number, line, reason) and nothing is
// written, unless --as-updater asks for the updater's image anyway (the
// problem is then reported as a warning). A text the updater refuses is never
// written. FILE is replaced only once the whole image is written; a failure
// leaves a previous FILE as it was. Exit status 0 on success, 1 on failure,
// 2 for a usage error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __linux__
#include <sys/mman.h>
#endif

#include "ToolCommands.h"
#include "firmware/BinImage.h"
#include "image/HexTextCheck.h"
#include "platform/PrintableText.h"
#include "platform/ToolError.h"
#include "updater/TessaranFwUpgrade.h"
#include "webfile/FileAPI.h"

// Far beyond any text whose image fits the 4 MiB image buffer.
#define IMAGE_MAX_TEXT_SIZE (64 * 1024 * 1024)
#define IMAGE_TEXT_PADDING 16

// The two large buffers (the text and the 4 MiB image, which assembly fills
// with 0xFF whole) would otherwise cost one page fault per 4 KiB touched, which
// dominates the run on virtual machines. On Linux they are asked for as
// transparent huge pages; the advice may be ignored, and the memory is
// released with free() either way.
#define HUGE_PAGE_SIZE (2u * 1024u * 1024u)

static void *allocateLargeBuffer(size_t size) {
#ifdef __linux__
  void *block = NULL;
  if (posix_memalign(&block, HUGE_PAGE_SIZE, size) != 0) return NULL;
  size_t rounded = (size + HUGE_PAGE_SIZE - 1) & ~(size_t)(HUGE_PAGE_SIZE - 1);
  // Returns 0 upon success, -1 upon failure; a refusal changes nothing.
  (void)madvise(block, rounded, MADV_HUGEPAGE);
  return block;
#else
  return malloc(size);
#endif
}

int imageUsage(void) {
  fprintf(stderr,
          "Usage: " TOOL_NAME
          " image --entry N -o FILE [--as-updater]   (N: 0 MCU, 1 TX FPGA, 2 RX FPGA)\n"
          "       " TOOL_NAME
          " image HEXFILE -o FILE [--as-updater]\n"
          "  --as-updater  write the image the updater would build even when the text\n"
          "                would lose, overlap or misplace data (the problem is still shown)\n");
  return 2;
}

// The whole file in a NUL-terminated heap block; null with the reason printed.
static char *readTextFile(const char *path) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) {
    toolError_print("image: cannot open %s", path);
    return NULL;
  }
  // One byte beyond the limit tells an oversized file from one at the limit.
  char *text = (char *)allocateLargeBuffer((size_t)IMAGE_MAX_TEXT_SIZE + 1 + IMAGE_TEXT_PADDING);
  if (text == NULL) {
    fclose(file);
    toolError_print("image: out of memory");
    return NULL;
  }
  size_t size = fread(text, 1, (size_t)IMAGE_MAX_TEXT_SIZE + 1, file);
  int readError = ferror(file);
  fclose(file);
  if (readError) {
    toolError_print("image: cannot read %s", path);
    free(text);
    return NULL;
  }
  if (size > (size_t)IMAGE_MAX_TEXT_SIZE) {
    toolError_print("image: %s is larger than %d bytes, not a firmware text", path, IMAGE_MAX_TEXT_SIZE);
    free(text);
    return NULL;
  }
  if (memchr(text, '\0', size) != NULL) {
    toolError_print("image: %s holds a NUL byte, not a firmware text", path);
    free(text);
    return NULL;
  }
  memset(text + size, 0, IMAGE_TEXT_PADDING);
  return text;
}

// Through the file layer's replacement: the previous file stays whole until
// the new one is complete. The file layer prints its own messages first.
static int writeImage(const char *path, const uint8_t *image, int length) {
  FileAPI_BeginReplacement(path);
  BOOL created = FileAPI_CreateFile(path, 1);
  BOOL written = created && FileAPI_writeToFileBinary(image, (uint32_t)length);
  // A full disk may only show when the buffered bytes are flushed at close.
  BOOL closed = created && FileAPI_CloseFile();
  BOOL replaced = FileAPI_EndReplacement(written && closed);
  fflush(stdout);
  if (!created) {
    toolError_print("image: cannot create %s", path);
    return 0;
  }
  if (!written || !closed || !replaced) {
    toolError_print("image: cannot write %s; a previous %s is left as it was", path, path);
    return 0;
  }
  return 1;
}

// What the release check found. 1 when assembly may go on: the caller asked
// for the updater's image and the updater accepts the text.
static int reportProblem(const char *source, const HexTextProblem &problem, int asUpdater) {
  BOOL goOn = asUpdater && !problem.assemblyRefuses;
  toolError_print("image: %s%s:%lu: %s:\n%s", goOn ? "warning: " : "", source, problem.lineNumber,
            problem.reason, printableText_escape(problem.line, problem.lineLength).c_str());
  if (goOn) return 1;
  if (problem.assemblyRefuses)
    toolError_print("image: the updater refuses this text; nothing written");
  else
    fprintf(stderr,
            "image: nothing written (--as-updater writes the image the updater would build)\n");
  return 0;
}

// The catalogue entry's text, or the file INPUT's (entry < 0), as a private
// writable copy: assembly cuts it up. NULL once the error is said.
static char *sourceText(int entry, const char *input) {
  if (entry < 0) return readTextFile(input);
  char *text = newCopyOfEmbeddedText(entry);
  if (text == NULL) toolError_print("image: out of memory");
  return text;
}

// What the updater would do wrong with TEXT, then its image to OUTPUT; the
// exit status. A sound text's image is placed by the check's own walk, as
// the assembly places it; the image of a text written despite a problem
// (--as-updater) is the assembly's own.
static int assembleImage(char *text, const char *source, const char *output, int asUpdater) {
  int status = 1;
  HexTextProblem problem;
  BOOL assembled = 0;
  if (!hexTextCheck_findProblemPlacing(text, &problem, gDataConcatenated,
                                       &gDataConcatenatedLenght)) {
    assembled = 1;
  } else if (reportProblem(source, problem, asUpdater)) {
    assembled = ValidateFwAndConcatenateData(text);
    if (!assembled) toolError_print("image: %s is not a valid Intel HEX text", source);
  }
  if (assembled) {
    gDataConcatenatedCheckSum = imageCheckSum(gDataConcatenated, gDataConcatenatedLenght);
    printf("%s: image length %d bytes, checksum %u\n", source, gDataConcatenatedLenght,
           (unsigned)gDataConcatenatedCheckSum);
    if (writeImage(output, gDataConcatenated, gDataConcatenatedLenght)) status = 0;
  }
  fflush(stdout);
  return status;
}

int runImage(const ToolOptions &options) {
  // 1. Arguments. A missing -o, HEXFILE or --entry is the usage error here:
  // CLI11's would come before an error in the arguments ahead of the command.
  // CLI11 takes "-" or "-5" for a HEXFILE; they are unknown options.
  const ImageOptions &image = options.image;
  const int entry = image.entry;
  if (!image.output ||
      (entry < 0 && (!image.input || (!image.input->empty() && (*image.input)[0] == '-'))))
    return imageUsage();
  const char *input = entry < 0 ? image.input->c_str() : NULL;

  // 2. The text.
  char *text = sourceText(entry, input);
  if (text == NULL) return 1;
  const char *source = entry >= 0 ? AUTOGEN_FILES[entry].filePath : input;

  // 3. The image buffer, unless the caller has one already.
  uint8_t *ownBuffer = NULL;
  if (gDataConcatenated == NULL) {
    ownBuffer = (uint8_t *)allocateLargeBuffer(CONCAT_BUFFER_SIZE + 16);
    if (ownBuffer == NULL) {
      toolError_print("image: out of memory");
      free(text);
      return 1;
    }
    gDataConcatenated = ownBuffer;
  }

  // 4. The check, the image and its file.
  const int status = assembleImage(text, source, image.output->c_str(), image.asUpdater);
  free(text);
  if (ownBuffer != NULL) {
    free(ownBuffer);
    gDataConcatenated = NULL;
  }
  return status;
}
