#include "updater/ReleaseSummary.h"

#include "firmware/BinImage.h"

BOOL summarizeEmbeddedRelease(ReleaseImage images[RELEASE_IMAGE_COUNT]) {
  // The generator assembled every text with the same code and refuses a
  // release that does not assemble, so its figures are the run time's.
  for (int entry = 0; entry < RELEASE_IMAGE_COUNT; entry++) {
    ReleaseImage *image = &images[entry];
    image->name = AUTOGEN_FILES[entry].filePath;
    image->valid = TRUE;
    image->flatLength = AUTOGEN_IMAGES[entry].flatLength;
    image->checkSum = AUTOGEN_IMAGES[entry].checkSum;
  }
  return TRUE;
}
