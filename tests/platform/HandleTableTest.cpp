// The handle table the port tables share: which handles name an open entry.
#include <gtest/gtest.h>

#include <stdint.h>

#include "platform/HandleTable.h"

TEST(HandleTable, StaleForgedAndWrappedHandles) {
  struct Entry {
    bool open;
  };
  enum Ask { CURRENT, PREVIOUS, FORGED };
  struct Case {
    const char *what;
    uint32_t opens;  // of slot 2, the last one left open unless `closed`
    bool closed;
    Ask ask;
    uintptr_t forged;
    bool named;  // an open entry found
  } cases[] = {
      {"open port", 1, false, CURRENT, 0, true},
      {"late call on a closed port", 1, true, CURRENT, 0, false},
      {"slot reused: the new handle", 2, false, CURRENT, 0, true},
      {"slot reused: the old handle", 2, false, PREVIOUS, 0, false},
      {"never opened: generation 0", 0, false, FORGED, 3, false},
      {"null", 1, false, FORGED, 0, false},
      {"invalid", 1, false, FORGED, (uintptr_t)INVALID_HANDLE_VALUE, false},
      {"slot past the table", 1, false, FORGED, (1u << 8) | 9, false},
      {"bits above 32", 1, false, FORGED,
       (uintptr_t)(((uint64_t)1 << (sizeof(uintptr_t) > 4 ? 40 : 31)) | (1u << 8) | 3), false},
      {"wrapped: the new handle", HANDLE_TABLE_LAST_GENERATION + 1, false, CURRENT, 0, true},
      {"wrapped: the last one before", HANDLE_TABLE_LAST_GENERATION + 1, false, PREVIOUS, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    static HandleTable<Entry, 8> table;
    table = HandleTable<Entry, 8>();
    HANDLE previous = NULL, current = NULL;
    for (uint32_t i = 0; i < c.opens; i++) {
      previous = current;
      current = table.start(2);
      table[2].open = true;
      ASSERT_NE(current, (HANDLE)NULL);
      ASSERT_NE(current, INVALID_HANDLE_VALUE);
      ASSERT_EQ((uint64_t)(uintptr_t)current >> 32, 0u);
    }
    if (c.closed) table[2].open = false;
    const HANDLE asked = c.ask == CURRENT ? current : c.ask == PREVIOUS ? previous : (HANDLE)c.forged;
    const Entry *entry = table.entryOf(asked);
    EXPECT_EQ(entry != NULL && entry->open, c.named);
    if (c.named) {
      EXPECT_EQ(entry, &table[2]);
    }
  }
}
