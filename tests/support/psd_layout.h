// A test-side walk over a Photoshop document, written apart from the
// library's reader: it records where every section, resource, layer record
// and channel starts and how long each says it is, and notes every length
// field that does not match the bytes that follow it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::testing {

struct PsdResource {
  uint16_t id;
  std::string name;
  size_t start;       // offset of "8BIM" inside the resources section
  size_t dataOffset;  // offset in the document
  uint32_t size;
};

struct PsdChannel {
  int16_t id;
  uint32_t length;    // from the record: compression value and data
  size_t dataOffset;  // offset in the document of the compression value
};

struct PsdLayer {
  int32_t top, left, bottom, right;
  std::vector<PsdChannel> channels;
  std::string blendSignature, blendKey;
  uint8_t opacity, clipping, flags, filler;
  uint32_t extraLength;
  size_t extraOffset;
};

struct PsdLayout {
  bool parsed = false;
  std::vector<std::string> faults;  // length fields that do not add up
  uint16_t channels = 0, depth = 0, mode = 0;
  uint32_t rows = 0, columns = 0;
  uint32_t colourDataLength = 0;
  uint32_t resourcesLength = 0;
  size_t resourcesOffset = 0;
  std::vector<PsdResource> resources;
  uint32_t layerSectionLength = 0;
  size_t layerSectionOffset = 0;  // of the section's length field
  uint32_t layerInfoLength = 0;
  int16_t layerCount = 0;
  std::vector<PsdLayer> layers;
  size_t compositeOffset = 0;  // of the compression value
  uint16_t compositeCompression = 0;
};

// Walks `bytes`; `parsed` is false when the document is cut short.
PsdLayout WalkPsd(const std::vector<uint8_t>& bytes);

uint32_t BE32At(const std::vector<uint8_t>& bytes, size_t at);
uint16_t BE16At(const std::vector<uint8_t>& bytes, size_t at);

}  // namespace kelvra::testing
