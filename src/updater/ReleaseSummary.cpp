#include "updater/ReleaseSummary.h"

#include <stdlib.h>

#include "firmware/BinImage.h"
#include "updater/TessaranFwUpgrade.h"

BOOL summarizeEmbeddedRelease(ReleaseImage images[RELEASE_IMAGE_COUNT]) {
  if (gDataConcatenated == NULL) return FALSE;
  for (int entry = 0; entry < RELEASE_IMAGE_COUNT; entry++) {
    ReleaseImage *image = &images[entry];
    image->name = AUTOGEN_FILES[entry].filePath;
    image->valid = FALSE;
    image->flatLength = 0;
    image->checkSum = 0;
    // Assembly cuts its text up: it works on a copy.
    char *text = newCopyOfEmbeddedText(entry);
    if (text != NULL && ValidateFwAndConcatenateData(text)) {
      image->valid = TRUE;
      image->flatLength = gDataConcatenatedLenght;
      image->checkSum = imageCheckSum(gDataConcatenated, gDataConcatenatedLenght);
    }
    free(text);
  }
  return TRUE;
}
