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

// The figures the build found when it assembled the three embedded texts:
// no assembly and no working buffer at run time (an update still assembles
// the image it sends). Returns TRUE.
BOOL summarizeEmbeddedRelease(ReleaseImage images[RELEASE_IMAGE_COUNT]);

#endif  // RELEASESUMMARY_H
