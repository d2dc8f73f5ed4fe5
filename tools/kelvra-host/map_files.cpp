#include "tools/kelvra-host/map_files.h"

#include <cstring>

#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {
namespace {

// A reader over (bytes, length) that cannot pass the end; once a read has
// failed every later one fails too, so a chain needs one check.
class Cursor {
 public:
  Cursor(const std::vector<uint8_t>& bytes, size_t pos) : bytes_(bytes), pos_(pos) {}
  bool ok() const { return ok_; }
  void Seek(size_t pos) {
    if (pos > bytes_.size()) ok_ = false;
    pos_ = pos;
  }
  uint32_t LE(int n) { return Read(n, false); }
  uint32_t BE(int n) { return Read(n, true); }

 private:
  uint32_t Read(int n, bool bigEndian) {
    if (!ok_ || bytes_.size() - pos_ < static_cast<size_t>(n)) {
      ok_ = false;
      return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      uint32_t b = bytes_[pos_ + i];
      v |= bigEndian ? b << (8 * (n - 1 - i)) : b << (8 * i);
    }
    pos_ += n;
    return v;
  }
  const std::vector<uint8_t>& bytes_;
  size_t pos_;
  bool ok_ = true;
};

}  // namespace

bool InspectMapFile(const std::string& path, MapFileInfo* info, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  Cursor c(bytes, 0);
  uint32_t order = c.LE(2), magic = c.LE(2), ifd = c.LE(4);
  if (!c.ok() || order != 0x4949 || magic != 42) {
    *error = path + ": not a little-endian TIFF file";
    return false;
  }
  c.Seek(ifd);
  uint32_t entries = c.LE(2);
  MapFileInfo r;
  r.fileBytes = bytes.size();
  uint32_t bitsValue = 0, bitsCount = 0, formatValue = 1, formatCount = 1;
  for (uint32_t i = 0; i < entries && c.ok(); ++i) {
    uint32_t tag = c.LE(2), type = c.LE(2), count = c.LE(4);
    uint32_t value = c.LE(4);
    if (type == 3 && count == 1) value &= 0xffff;  // a SHORT fills the first two bytes
    switch (tag) {
      case 256: r.width = static_cast<int>(value); break;
      case 257: r.height = static_cast<int>(value); break;
      case 258: bitsValue = value; bitsCount = count; break;
      case 273: r.dataOffset = value; break;
      case 277: r.channels = static_cast<int>(value); break;
      case 279: r.dataBytes = value; break;
      case 339: formatValue = value; formatCount = count; break;
      default: break;
    }
  }
  // With three channels the sample size and format live out of line; the
  // first of the three values stands for all.
  auto resolve = [&](uint32_t value, uint32_t count) {
    if (count == 1) return value;
    Cursor at(bytes, value);
    uint32_t v = at.LE(2);
    if (!at.ok()) c.Seek(bytes.size() + 1);
    return v;
  };
  r.bits = static_cast<int>(resolve(bitsValue, bitsCount));
  r.isFloat = resolve(formatValue, formatCount) == 3;
  if (!c.ok() || r.width <= 0 || r.height <= 0 || r.channels <= 0 || r.bits <= 0) {
    *error = path + ": damaged TIFF directory";
    return false;
  }
  uint64_t expected = uint64_t{static_cast<uint32_t>(r.width)} * r.height * r.channels * (r.bits / 8);
  if (r.dataBytes != expected) {
    *error = path + ": strip of " + std::to_string(r.dataBytes) + " bytes where " +
             std::to_string(expected) + " were due";
    return false;
  }
  if (r.fileBytes != uint64_t{r.dataOffset} + r.dataBytes) {
    *error = path + ": file of " + std::to_string(r.fileBytes) + " bytes where " +
             std::to_string(uint64_t{r.dataOffset} + r.dataBytes) +
             " were due (incomplete write?)";
    return false;
  }
  *info = r;
  return true;
}

bool InspectFlatDocument(const std::string& path, FlatDocInfo* info,
                         std::vector<uint8_t>* rgb, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  Cursor c(bytes, 0);
  uint32_t signature = c.BE(4), version = c.BE(2);
  c.Seek(12);
  FlatDocInfo r;
  r.channels = static_cast<int>(c.BE(2));
  r.height = static_cast<int>(c.BE(4));
  r.width = static_cast<int>(c.BE(4));
  uint32_t depth = c.BE(2), mode = c.BE(2);
  uint32_t colorData = c.BE(4), resources = c.BE(4), layers = c.BE(4), compression = c.BE(2);
  r.fileBytes = bytes.size();
  if (!c.ok() || signature != 0x38425053 || version != 1) {
    *error = path + ": not a Photoshop document";
    return false;
  }
  if (r.channels != 3 || depth != 8 || mode != 3 || colorData != 0 || resources != 0 ||
      layers != 0 || compression != 0) {
    *error = path + ": not a flat raw RGB document of 8-bit samples";
    return false;
  }
  uint64_t plane = uint64_t{static_cast<uint32_t>(r.width)} * static_cast<uint32_t>(r.height);
  if (r.fileBytes != 40 + 3 * plane) {
    *error = path + ": document of " + std::to_string(r.fileBytes) + " bytes where " +
             std::to_string(40 + 3 * plane) + " were due (incomplete write?)";
    return false;
  }
  if (rgb != nullptr) {
    rgb->resize(static_cast<size_t>(3 * plane));
    for (size_t i = 0; i < plane; ++i)
      for (int ch = 0; ch < 3; ++ch) (*rgb)[3 * i + ch] = bytes[40 + ch * plane + i];
  }
  *info = r;
  return true;
}

}  // namespace kelvra::tool
