// Image assembly of the embedded texts, each iteration on a fresh heap copy
// (assembly cuts its text), with the checksum the callers compute after it.
#include <stdlib.h>
#include <string.h>

#include <benchmark/benchmark.h>

#include "firmware/BinImage.h"
#include "updater/TessaranFwUpgrade.h"

static void BM_AssembleEmbedded(benchmark::State &state) {
  const autogen_files &file = AUTOGEN_FILES[state.range(0)];
  gDataConcatenated = (uint8_t *)malloc(CONCAT_BUFFER_SIZE + 16);
  char *copy = (char *)malloc((size_t)file.fileDataLength + 16);
  if (gDataConcatenated == NULL || copy == NULL) {
    state.SkipWithError("out of memory");
    free(copy);
    return;
  }
  for (auto _ : state) {
    memcpy(copy, file.fileData, (size_t)file.fileDataLength);
    memset(copy + file.fileDataLength, 0, 16);
    if (!ValidateFwAndConcatenateData(copy)) {
      state.SkipWithError("assembly failed");
      break;
    }
    benchmark::DoNotOptimize(imageCheckSum(gDataConcatenated, gDataConcatenatedLenght));
  }
  state.SetLabel(file.filePath);
  state.SetBytesProcessed((int64_t)state.iterations() * file.fileDataLength);
  free(copy);
  free(gDataConcatenated);
  gDataConcatenated = NULL;
}
BENCHMARK(BM_AssembleEmbedded)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

static void BM_ImageCheckSum(benchmark::State &state) {
  const int length = 1103320;
  uint8_t *image = (uint8_t *)malloc(length);
  for (int k = 0; k < length; k++) image[k] = (uint8_t)(k * 131);
  for (auto _ : state) benchmark::DoNotOptimize(imageCheckSum(image, length));
  state.SetBytesProcessed((int64_t)state.iterations() * length);
  free(image);
}
BENCHMARK(BM_ImageCheckSum)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
