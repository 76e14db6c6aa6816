// A small table of open things (local ports, the serial layer's ports,
// network connections) handed out as HANDLEs. A handle is no pointer but the
// slot's number + 1 in its low 8 bits and the slot's generation above them.
//
// The rule for generations, the same in every table: a slot's generation
// moves on each time the slot is taken for an open (start), so a handle kept
// from an earlier open of the slot names nothing once the slot is reused; a
// slot never taken has generation 0 and no handle names it. Generations run
// from 1 to HANDLE_TABLE_LAST_GENERATION and then start at 1 again: a handle
// would name its slot again only after that many reuses. Handles fit 32 bits
// and are never 0 or INVALID_HANDLE_VALUE.
//
// Whether the entry of a named slot is still open is the entry's own business
// (a closed entry may be kept for a late call's record until its slot is
// reused). Nothing here allocates or locks: the interrupt handlers use it.
#ifndef HANDLETABLE_H
#define HANDLETABLE_H

#include <stdint.h>

#include "platform/Platform.h"

#define HANDLE_TABLE_SLOT_BITS 8
#define HANDLE_TABLE_LAST_GENERATION 0xFFFFFFu  // 24 bits above the slot's 8

template <typename Entry, int Slots>
class HandleTable {
  static_assert(Slots > 0 && Slots < 0xFF, "a slot's number + 1 fits the low 8 bits, never 0xFF");

 public:
  Entry &operator[](int slot) { return entries_[slot]; }
  const Entry &operator[](int slot) const { return entries_[slot]; }

  // Takes `slot` for a new open; the handle that names it from now on.
  HANDLE start(int slot) {
    generations_[slot] =
        generations_[slot] >= HANDLE_TABLE_LAST_GENERATION ? 1 : generations_[slot] + 1;
    return handleOf(slot);
  }

  // The handle of `slot` as the slot stands now.
  HANDLE handleOf(int slot) const {
    return (HANDLE)(((uintptr_t)generations_[slot] << HANDLE_TABLE_SLOT_BITS) |
                    (uintptr_t)(slot + 1));
  }

  // The slot a handle names, -1 for a null or invalid handle, one from no
  // table's open, or one of an earlier open of a slot taken again since.
  int slotOf(HANDLE handle) const {
    const uintptr_t value = (uintptr_t)handle;
    const int slot = (int)(value & ((1u << HANDLE_TABLE_SLOT_BITS) - 1)) - 1;
    if (handle == NULL || handle == INVALID_HANDLE_VALUE || slot < 0 || slot >= Slots ||
        generations_[slot] == 0 || handleOf(slot) != handle)
      return -1;
    return slot;
  }

  // The entry a handle names, NULL for none (as slotOf).
  Entry *entryOf(HANDLE handle) {
    const int slot = slotOf(handle);
    return slot >= 0 ? &entries_[slot] : NULL;
  }

 private:
  Entry entries_[Slots] = {};
  uint32_t generations_[Slots] = {};
};

#endif  // HANDLETABLE_H
