// Documents move between memory and disk in one piece: read whole into one
// tracked block, or written from one block with a single write.
#pragma once

#include <cstdint>

namespace kelvra {

// The whole file in a block from TrackedAlloc (tag "LoadFromFile") and its
// length; null when the file cannot be opened, is empty, cannot be read
// completely or its block cannot be had. The caller frees the block.
uint8_t* ReadWholeFile(const char* path, uint32_t* length);

// Opens the file (created when missing, an existing one is not emptied
// first), writes the `length` bytes with one checked write and closes it cut
// at the end of what was written. 0 when every byte was written, else -1.
int32_t WriteWholeFile(const char* path, const uint8_t* bytes, uint32_t length);

}  // namespace kelvra
