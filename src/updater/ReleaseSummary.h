// The embedded release in figures: each image's name, flat length and
// checksum, as the update announces them. For the trace and the tool's --version.
#ifndef RELEASESUMMARY_H
#define RELEASESUMMARY_H

#include <stdint.h>

#include "platform/Platform.h"

#define RELEASE_IMAGE_COUNT 3  // 0 microcontroller, 1 TX FPGA, 2 RX FPGA

typedef struct ReleaseImage {
  const char *name;   // the release file's name
  BOOL valid;         // the text assembled into an image
  int flatLength;     // bytes streamed to the unit
  uint32_t checkSum;  // the checksum announced with it
} ReleaseImage;

// Assembles the three embedded texts. Uses (and overwrites) the flat image
// buffer, so it runs before an update, with the working buffers allocated.
// Returns FALSE when they are not.
BOOL summarizeEmbeddedRelease(ReleaseImage images[RELEASE_IMAGE_COUNT]);

#endif  // RELEASESUMMARY_H
