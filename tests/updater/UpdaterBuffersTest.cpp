// The start-up state of a run and the banner check: no serial line involved.
#include <gtest/gtest.h>
#include <string.h>

#include "firmware/BinImage.h"
#include "updater/TessaranFwUpgrade.h"

static bool allBytesAre(const void *block, size_t length, uint8_t value) {
  const uint8_t *bytes = static_cast<const uint8_t *>(block);
  for (size_t i = 0; i < length; i++) {
    if (bytes[i] != value) return false;
  }
  return true;
}

TEST(WorkingBuffersTest, EmbeddedTextCopiesEndInSixteenZeroBytes) {
  for (int entry = 0; entry < 3; entry++) {
    SCOPED_TRACE(entry);
    const size_t length = (size_t)AUTOGEN_FILES[entry].fileDataLength;
    char *copy = newCopyOfEmbeddedText(entry);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, AUTOGEN_FILES[entry].fileData, length), 0);
    EXPECT_TRUE(allBytesAre(copy + length, 16, 0));
    free(copy);
  }
  EXPECT_EQ(newCopyOfEmbeddedText(-1), nullptr);
  EXPECT_EQ(newCopyOfEmbeddedText(3), nullptr);
}

TEST(WorkingBuffersTest, StartUpContentAndRelease) {
  ASSERT_TRUE(allocateWorkingBuffers());
  EXPECT_EQ(strcmp(gHexFirmware, AUTOGEN_FILES[0].fileData), 0);
  EXPECT_TRUE(allBytesAre(gDataConcatenated, CONCAT_BUFFER_SIZE, 0xFF));
  EXPECT_TRUE(allBytesAre(gDataConcatenated + CONCAT_BUFFER_SIZE, 16, 0));
  EXPECT_TRUE(allBytesAre(gDataBuffer, DATA_BUFFER_SIZE, 0));
  EXPECT_EQ(gHexFPGA_Code, nullptr);

  // A second call starts again from a clean state instead of leaking.
  gHexFPGA_Code = newCopyOfEmbeddedText(1);
  gDataConcatenated[0] = 0;
  ASSERT_TRUE(allocateWorkingBuffers());
  EXPECT_EQ(gHexFPGA_Code, nullptr);
  EXPECT_EQ(gDataConcatenated[0], 0xFF);

  gHexFPGA_Code = newCopyOfEmbeddedText(2);
  releaseWorkingBuffers();
  EXPECT_TRUE(!gDataBuffer && !gDataConcatenated && !gHexFirmware && !gHexFPGA_Code);
  releaseWorkingBuffers();  // harmless when nothing is allocated
}

TEST(UnitBannerTest, PromptIsRecognisedOnlyAtBothEnds) {
  const struct {
    const char *banner;
    BOOL expected;
  } cases[] = {
      {"[TX 1.0.4]\r\n>>", TRUE}, {"[>>", TRUE},
      {"[TX 1.0.4]\r\n>>\r\n", FALSE},  // the prompt must come last
      {"TX 1.0.4\r\n>>", FALSE},        {"[TX 1.0.4]\r\n>", FALSE},
      {"[>", FALSE}, {">>", FALSE},     {nullptr, FALSE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.banner ? c.banner : "(null)");
    EXPECT_EQ(unitBannerShowsPrompt(c.banner), c.expected);
  }
  // Empty and one-character banners, each alone in a heap block: looking at
  // "the last two characters" first would read outside it (ASan reports it).
  for (const char *text : {"[", ">", ""}) {
    char *banner = static_cast<char *>(malloc(strlen(text) + 1));
    memcpy(banner, text, strlen(text) + 1);
    EXPECT_FALSE(unitBannerShowsPrompt(banner)) << text;
    free(banner);
  }
}
