#include "bitmap/whole_file.h"

#include "services/services.h"

namespace kelvra {

uint8_t* ReadWholeFile(const char* path, uint32_t* length) {
  *length = 0;
  FileHandle file = FileOpen(path, false);
  if (file == 0) return nullptr;
  int32_t size = FileSize(file);
  uint8_t* block = nullptr;
  if (size > 0) {
    block = static_cast<uint8_t*>(TrackedAlloc(static_cast<uint32_t>(size), "LoadFromFile"));
  }
  // A short read would leave the tail of the block undefined: give nothing.
  if (block != nullptr && FileRead(file, block, static_cast<uint32_t>(size)) != size) {
    TrackedFree(block);
    block = nullptr;
  }
  FileClose(file, false);
  if (block != nullptr) *length = static_cast<uint32_t>(size);
  return block;
}

int32_t WriteWholeFile(const char* path, const uint8_t* bytes, uint32_t length) {
  FileHandle file = FileOpenOrCreate(path, true);
  if (file == 0) return -1;
  int32_t written = FileWriteChecked(file, bytes, length);
  // Cut here, so an older and longer file loses its tail, even after a short
  // write.
  FileClose(file, true);
  return written >= 0 && static_cast<uint32_t>(written) == length ? 0 : -1;
}

}  // namespace kelvra
