// image: a release text or a HEX/MCS file assembled into its flat image.
#ifndef IMAGECOMMAND_H
#define IMAGECOMMAND_H

#include <optional>
#include <string>

struct ImageOptions {
  std::optional<std::string> input;   // HEXFILE
  int entry = -1;                     // --entry N; -1: HEXFILE
  std::optional<std::string> output;  // -o FILE
  bool asUpdater = false;
};

// The catalogue entries `image --entry` takes: 0 MCU, 1 TX FPGA, 2 RX FPGA.
#define CATALOGUE_ENTRIES 3

// image's usage on stderr; exit status 2.
int imageUsage(void);

#endif  // IMAGECOMMAND_H
