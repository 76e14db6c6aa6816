// The start-up state of a run and the banner check: no serial line involved.
#include <gtest/gtest.h>
#include <string.h>

#include "TessaranFwUpgrade.h"
#include "firmware/BinImage.h"

namespace {

struct WorkingBuffers {
  WorkingBuffers() { ok = allocateWorkingBuffers(); }
  ~WorkingBuffers() { releaseWorkingBuffers(); }
  BOOL ok;
};

bool allBytesAre(const void *block, size_t length, uint8_t value) {
  const uint8_t *bytes = static_cast<const uint8_t *>(block);
  for (size_t i = 0; i < length; i++) {
    if (bytes[i] != value) return false;
  }
  return true;
}

}  // namespace

TEST(EmbeddedTextCopy, EachEntryIsCopiedAndEndsInSixteenZeroBytes) {
  for (int entry = 0; entry < 3; entry++) {
    SCOPED_TRACE(entry);
    const int length = AUTOGEN_FILES[entry].fileDataLength;
    char *copy = newCopyOfEmbeddedText(entry);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, AUTOGEN_FILES[entry].fileData, (size_t)length), 0);
    EXPECT_TRUE(allBytesAre(copy + length, 16, 0));
    EXPECT_EQ(strlen(copy), (size_t)length);
    free(copy);
  }
}

TEST(EmbeddedTextCopy, IndexOutsideTheCatalogueGivesNull) {
  EXPECT_EQ(newCopyOfEmbeddedText(-1), nullptr);
  EXPECT_EQ(newCopyOfEmbeddedText(3), nullptr);
}

TEST(WorkingBuffersTest, StartUpContentAndReleaseOrder) {
  {
    WorkingBuffers buffers;
    ASSERT_TRUE(buffers.ok);
    ASSERT_NE(gHexFirmware, nullptr);
    ASSERT_NE(gDataConcatenated, nullptr);
    ASSERT_NE(gDataBuffer, nullptr);
    EXPECT_EQ(gHexFPGA_Code, nullptr);

    const int length = AUTOGEN_FILES[0].fileDataLength;
    EXPECT_EQ(memcmp(gHexFirmware, AUTOGEN_FILES[0].fileData, (size_t)length), 0);
    EXPECT_TRUE(allBytesAre(gHexFirmware + length, 16, 0));
    EXPECT_TRUE(allBytesAre(gDataConcatenated, CONCAT_BUFFER_SIZE, 0xFF));
    EXPECT_TRUE(allBytesAre(gDataConcatenated + CONCAT_BUFFER_SIZE, 16, 0));
    EXPECT_TRUE(allBytesAre(gDataBuffer, DATA_BUFFER_SIZE, 0));

    // A second call starts again from a clean state.
    gHexFPGA_Code = newCopyOfEmbeddedText(1);
    gDataConcatenated[0] = 0;
    ASSERT_TRUE(allocateWorkingBuffers());
    EXPECT_EQ(gHexFPGA_Code, nullptr);
    EXPECT_EQ(gDataConcatenated[0], 0xFF);
  }
  EXPECT_EQ(gDataBuffer, nullptr);
  EXPECT_EQ(gDataConcatenated, nullptr);
  EXPECT_EQ(gHexFirmware, nullptr);
  EXPECT_EQ(gHexFPGA_Code, nullptr);

  releaseWorkingBuffers();  // releasing twice is harmless
}

TEST(UnitBanner, PromptIsRecognisedOnlyAtBothEnds) {
  struct Case {
    const char *banner;
    BOOL expected;
  } cases[] = {
      {"[TX 1.0.4]\r\n>>", TRUE},
      {"[>>", TRUE},
      {"[]>>", TRUE},
      {"[TX 1.0.4]\r\n>>\r\n", FALSE},  // the prompt must be the last thing
      {"TX 1.0.4\r\n>>", FALSE},        // no opening bracket
      {"[TX 1.0.4]\r\n>", FALSE},
      {"[>", FALSE},
      {">>", FALSE},
      {"[", FALSE},
      {">", FALSE},
      {"", FALSE},
      {nullptr, FALSE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.banner ? c.banner : "(null)");
    EXPECT_EQ(unitBannerShowsPrompt(c.banner), c.expected);
  }
}

TEST(UnitBanner, ShortBannersReadNothingPastTheirEnd) {
  // One- and zero-character banners at the very end of a heap block: a check
  // that looked at the last two characters first would read outside it
  // (AddressSanitizer reports that).
  for (const char *text : {"[", ">", ""}) {
    size_t size = strlen(text) + 1;
    char *banner = static_cast<char *>(malloc(size));
    memcpy(banner, text, size);
    EXPECT_FALSE(unitBannerShowsPrompt(banner));
    free(banner);
  }
}
