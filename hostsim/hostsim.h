// A simulated host: records laid out at the host's exact byte offsets, with
// hand-made tables of __thiscall operations that record how they were called.
// The unit tests, the Windows test host and the command-line host build their
// HostContext from these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"

namespace kelvra::hostsim {

// A HostImage record with its pixel-store record and pixel buffer.
class SimImage {
 public:
  // rowStride < 0: packed rows (width x bytes per pixel).
  SimImage(int width, int height, int bitsPerPixel, int rowStride = -1);
  SimImage(const SimImage&) = delete;
  SimImage& operator=(const SimImage&) = delete;

  host::HostImage* record() { return reinterpret_cast<host::HostImage*>(record_.data()); }
  int width() const { return width_; }
  int height() const { return height_; }
  int rowStride() const { return rowStride_; }

  uint8_t* bytes() { return pixels_.data(); }
  size_t byteCount() const { return pixels_.size(); }
  uint16_t* samples16() { return reinterpret_cast<uint16_t*>(pixels_.data()); }
  uint32_t* pixels32() { return reinterpret_cast<uint32_t*>(pixels_.data()); }
  std::vector<uint8_t> snapshot() const { return pixels_; }

  // Record edits for tests of unusual host states.
  void SetSizeFixed(int32_t widthFixed, int32_t heightFixed);
  void SetSizeFields(int16_t width, int16_t height);
  void SetBitsPerPixel(int32_t bits);
  void SetRowStride(int32_t stride);
  void DropPixelPointer();  // the store stays, its pixel pointer becomes null
  void DropPixelStore();    // offset 100 becomes null
  void SetMaskSource(SimImage* mask);
  void SetShadedImage(SimImage* shaded);

 private:
  int width_, height_, rowStride_;
  std::vector<uint8_t> record_;
  std::vector<uint8_t> store_;
  std::vector<uint8_t> pixels_;
};

// A call of an operation, as the operation saw it.
struct OpCall {
  const void* self;
  std::vector<int32_t> args;
  const void* pointerArg;
};

// HostMapObject: a 16-bit height field and its 16.16 scale; operation 0
// destroys it.
class SimMapObject {
 public:
  SimMapObject(int width, int height, int32_t scaleFixed);
  host::HostMapObject* record() { return reinterpret_cast<host::HostMapObject*>(record_.data()); }
  uint16_t* samples() { return reinterpret_cast<uint16_t*>(heights_.data()); }
  int width() const { return width_; }
  int height() const { return height_; }
  void DropPixelPointer();
  bool destroyed = false;
  std::vector<OpCall> destroyCalls;

 private:
  int width_, height_;
  std::vector<uint8_t> record_;
  std::vector<uint8_t> store_;
  std::vector<uint8_t> heights_;
  friend struct Thunks;
};

// HostMapSource: operation 52 makes a map object from nine arguments.
class SimMapSource {
 public:
  SimMapSource();
  host::HostMapSource* record() { return reinterpret_cast<host::HostMapSource*>(record_.data()); }
  // What make map returns: a new map of this size and scale, or null.
  bool returnNull = false;
  int mapWidth = 4, mapHeight = 4;
  int32_t mapScaleFixed = 65536;
  std::vector<OpCall> makeCalls;
  // Maps handed out, in order (owned here; the library ends them through
  // their destroy operation, which only marks them).
  std::vector<std::unique_ptr<SimMapObject>> made;
  // Events in order ("make", "destroy#N"), to check that a map is destroyed
  // before the next is asked for.
  std::vector<std::string> events;

 private:
  std::vector<uint8_t> record_;
  friend struct Thunks;
};

// HostDocument: main image, alt image, UI root and mask threshold; operation
// 14 is NotifyChanged.
class SimDocument {
 public:
  SimDocument();
  host::HostDocument* record() { return reinterpret_cast<host::HostDocument*>(record_.data()); }
  void SetMainImage(SimImage* image);
  void SetAltImage(SimImage* image);
  void SetUiRoot(void* node);
  void SetMaskThreshold(int32_t threshold);
  std::vector<OpCall> notifyCalls;

 private:
  std::vector<uint8_t> record_;
};

// The HostContext table.
class SimContext {
 public:
  SimContext() : slots_(16, nullptr) {}
  host::HostContext table() { return slots_.data(); }
  void SetSlot(int slot, void* record) { slots_[slot] = static_cast<char*>(record); }

 private:
  std::vector<char*> slots_;
};

// Every recorded operation call whose `this` did not match its object, or
// whose arguments broke the contract (for instance a non-null ninth argument
// of make map). Empty when the library called every operation correctly.
const std::vector<std::string>& ContractViolations();
void ClearContractViolations();

}  // namespace kelvra::hostsim
