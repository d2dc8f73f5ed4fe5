#include "tools/kelvra-host/image_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

#include "tools/kelvra-host/png_codec.h"

namespace kelvra::tool {
namespace {

std::string SystemReason() { return std::strerror(errno); }

std::string SizeText(uint64_t w, uint64_t h) {
  return std::to_string(w) + " x " + std::to_string(h);
}

bool CheckSize(uint64_t w, uint64_t h, const std::string& name, std::string* error) {
  if (w == 0 || h == 0) {
    *error = name + ": the image is empty (" + SizeText(w, h) + ")";
    return false;
  }
  if (w > kMaxImageSide || h > kMaxImageSide) {
    *error = name + ": " + SizeText(w, h) + " is larger than the host's limit of " +
             std::to_string(kMaxImageSide) + " pixels a side";
    return false;
  }
  return true;
}

// ---- PGM / PPM --------------------------------------------------------------

// Header fields are separated by whitespace and '#' comments to the end of
// the line; exactly one whitespace byte ends the header.
class NetpbmHeader {
 public:
  explicit NetpbmHeader(const std::vector<uint8_t>& bytes) : bytes_(bytes), pos_(2) {}

  bool Number(uint64_t* value) {
    for (;;) {
      if (pos_ >= bytes_.size()) return false;
      uint8_t c = bytes_[pos_];
      if (c == '#') {
        while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r') ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        ++pos_;
      } else {
        break;
      }
    }
    uint64_t v = 0;
    size_t start = pos_;
    while (pos_ < bytes_.size() && bytes_[pos_] >= '0' && bytes_[pos_] <= '9') {
      v = v * 10 + (bytes_[pos_] - '0');
      if (v > 0xffffffffu) return false;
      ++pos_;
    }
    if (pos_ == start) return false;
    *value = v;
    return true;
  }

  // The single whitespace byte after maxval; the data starts behind it.
  bool EndOfHeader(size_t* dataStart) {
    if (pos_ >= bytes_.size()) return false;
    uint8_t c = bytes_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
    *dataStart = pos_ + 1;
    return true;
  }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t pos_;
};

bool DecodeNetpbm(const std::vector<uint8_t>& bytes, const std::string& name,
                  Raster* out, std::string* error) {
  int channels = bytes[1] == '5' ? 1 : 3;
  NetpbmHeader header(bytes);
  uint64_t w = 0, h = 0, maxval = 0;
  size_t data = 0;
  if (!header.Number(&w) || !header.Number(&h) || !header.Number(&maxval) ||
      !header.EndOfHeader(&data)) {
    *error = name + ": damaged PGM/PPM header";
    return false;
  }
  if (!CheckSize(w, h, name, error)) return false;
  if (maxval < 1 || maxval > 65535) {
    *error = name + ": PGM/PPM maximum value " + std::to_string(maxval) +
             " is outside 1..65535";
    return false;
  }
  int sampleBytes = maxval < 256 ? 1 : 2;
  uint64_t count = w * h * channels;
  if (bytes.size() - data < count * sampleBytes) {
    *error = name + ": PGM/PPM data ends early (" + std::to_string(bytes.size() - data) +
             " of " + std::to_string(count * sampleBytes) + " bytes)";
    return false;
  }
  Raster r;
  r.width = static_cast<int>(w);
  r.height = static_cast<int>(h);
  r.channels = channels;
  // Samples are stretched to the full 8- or 16-bit range, rounding.
  r.bits = sampleBytes == 1 ? 8 : 16;
  uint32_t full = r.bits == 8 ? 255 : 65535;
  r.samples.resize(static_cast<size_t>(count));
  const uint8_t* p = bytes.data() + data;
  for (size_t i = 0; i < count; ++i) {
    uint32_t v = sampleBytes == 1 ? p[i] : (uint32_t{p[2 * i]} << 8 | p[2 * i + 1]);
    if (v > maxval) v = static_cast<uint32_t>(maxval);
    if (maxval != full) v = static_cast<uint32_t>((v * uint64_t{full} + maxval / 2) / maxval);
    r.samples[i] = static_cast<uint16_t>(v);
  }
  *out = std::move(r);
  return true;
}

bool EncodeNetpbm(const Raster& r, std::vector<uint8_t>* out, std::string* error) {
  if (r.channels != 1 && r.channels != 3) {
    *error = "PGM/PPM cannot hold " +
             std::string(r.channels == 2 || r.channels == 4 ? "transparency" : "this layout");
    return false;
  }
  std::string head = std::string(r.channels == 1 ? "P5" : "P6") + "\n" +
                     std::to_string(r.width) + " " + std::to_string(r.height) + "\n" +
                     (r.bits == 16 ? "65535" : "255") + "\n";
  out->assign(head.begin(), head.end());
  for (uint16_t v : r.samples) {
    if (r.bits == 16) out->push_back(static_cast<uint8_t>(v >> 8));  // big-endian
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

}  // namespace

std::string Extension(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return ext;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = path + ": cannot open (" + SystemReason() + ")";
    return false;
  }
  bytes->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *error = path + ": cannot read (" + SystemReason() + ")";
    return false;
  }
  return true;
}

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error) {
#ifdef _WIN32
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = to + ": cannot replace (Windows error " + std::to_string(GetLastError()) + ")";
    return false;
  }
#else
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    *error = to + ": cannot replace (" + SystemReason() + ")";
    return false;
  }
#endif
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  std::string temp = path + ".part";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    *error = path + ": cannot create (" + SystemReason() + ")";
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  std::string reason = ok ? "" : SystemReason();
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    reason = SystemReason();
  }
  if (!ok) {
    std::remove(temp.c_str());
    *error = path + ": write failed (" + reason + ")";
    return false;
  }
  if (!MoveIntoPlace(temp, path, error)) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool ReadRaster(const std::string& path, Raster* out, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), kPngSignature, 8) == 0)
    return DecodePng(bytes, path, out, error);
  if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6'))
    return DecodeNetpbm(bytes, path, out, error);
  if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '7') {
    *error = path + ": only binary PGM (P5) and PPM (P6) are read, not P" +
             std::string(1, static_cast<char>(bytes[1]));
    return false;
  }
  *error = path + (bytes.empty() ? ": the file is empty"
                                 : ": neither a PNG nor a PGM/PPM file (raw 16-bit heights: "
                                   "name them .r16 or give --raw WxH)");
  return false;
}

bool WriteRaster(const std::string& path, const Raster& raster, std::string* error) {
  std::vector<uint8_t> bytes;
  std::string ext = Extension(path);
  bool ok;
  if (ext == ".png") {
    ok = EncodePng(raster, &bytes, error);
  } else if (ext == ".pgm" || ext == ".ppm" || ext == ".pnm") {
    ok = EncodeNetpbm(raster, &bytes, error);
  } else {
    *error = "unknown image type '" + ext + "' (use .png, .pgm or .ppm)";
    ok = false;
  }
  if (!ok) {
    *error = path + ": " + *error;
    return false;
  }
  return WriteFileAtomically(path, bytes, error);
}

bool RasterToHeightField(const Raster& r, const std::string& name, HeightField* out,
                         std::string* error) {
  if (r.channels != 1) {
    *error = name + ": a height field must be a grayscale image, this one has " +
             (r.channels == 2 ? std::string("grey and alpha")
                              : r.channels == 3 ? std::string("RGB colour")
                                                : std::string("RGBA colour")) +
             " channels";
    return false;
  }
  if (!CheckSize(r.width, r.height, name, error)) return false;
  HeightField f;
  f.width = r.width;
  f.height = r.height;
  f.sourceBits = r.bits;
  f.samples.resize(r.samples.size());
  for (size_t i = 0; i < r.samples.size(); ++i)
    f.samples[i] = static_cast<uint16_t>(r.bits == 8 ? r.samples[i] * 257 : r.samples[i]);
  *out = std::move(f);
  return true;
}

bool RasterToColorImage(const Raster& r, const std::string& name, ColorImage* out,
                        std::string* error) {
  if (r.bits != 8) {
    *error = name + ": 16-bit images cannot be edited; the host's colour images "
             "hold 8 bits per channel";
    return false;
  }
  if (!CheckSize(r.width, r.height, name, error)) return false;
  ColorImage img;
  img.width = r.width;
  img.height = r.height;
  img.grey = r.channels <= 2;
  img.alpha = r.channels == 2 || r.channels == 4;
  size_t n = static_cast<size_t>(r.width) * r.height;
  img.pixels.resize(n);
  const uint16_t* s = r.samples.data();
  for (size_t i = 0; i < n; ++i, s += r.channels) {
    int red = s[0], green = img.grey ? s[0] : s[1], blue = img.grey ? s[0] : s[2];
    int a = img.alpha ? s[r.channels - 1] : 255;
    img.pixels[i] = PackBgra(red, green, blue, a);
  }
  *out = std::move(img);
  return true;
}

Raster ColorImageToRaster(const ColorImage& img) {
  bool grey = img.grey;
  for (size_t i = 0; grey && i < img.pixels.size(); ++i) {
    uint32_t p = img.pixels[i];
    grey = (p & 0xff) == ((p >> 8) & 0xff) && (p & 0xff) == ((p >> 16) & 0xff);
  }
  Raster r;
  r.width = img.width;
  r.height = img.height;
  r.bits = 8;
  r.channels = (grey ? 1 : 3) + (img.alpha ? 1 : 0);
  r.samples.reserve(img.pixels.size() * r.channels);
  for (uint32_t p : img.pixels) {
    r.samples.push_back(static_cast<uint16_t>((p >> 16) & 0xff));
    if (!grey) {
      r.samples.push_back(static_cast<uint16_t>((p >> 8) & 0xff));
      r.samples.push_back(static_cast<uint16_t>(p & 0xff));
    }
    if (img.alpha) r.samples.push_back(static_cast<uint16_t>(p >> 24));
  }
  return r;
}

Raster HeightFieldToRaster(const HeightField& f) {
  Raster r;
  r.width = f.width;
  r.height = f.height;
  r.channels = 1;
  r.bits = 16;
  r.samples = f.samples;
  return r;
}

bool ParseRawSize(const std::string& text, RawSize* out, std::string* error) {
  const size_t x = text.find_first_of("xX");
  auto number = [](const std::string& s, int* v) {
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *v = std::stoi(s);
    return *v >= 1 && *v <= kMaxImageSide;
  };
  RawSize r;
  if (x == std::string::npos || !number(text.substr(0, x), &r.width) ||
      !number(text.substr(x + 1), &r.height)) {
    *error = "--raw wants WIDTHxHEIGHT, each 1 to " + std::to_string(kMaxImageSide) +
             ", not '" + text + "'";
    return false;
  }
  *out = r;
  return true;
}

bool DecodeRawHeights(const std::vector<uint8_t>& bytes, const std::string& name,
                      const RawSize* raw, HeightField* out, std::string* error) {
  const uint64_t samples = bytes.size() / 2;
  RawSize size;
  if (raw != nullptr) {
    size = *raw;
    const uint64_t due = 2 * uint64_t{static_cast<uint32_t>(size.width)} *
                         static_cast<uint32_t>(size.height);
    if (bytes.size() != due) {
      *error = name + ": holds " + std::to_string(bytes.size()) + " bytes, but " +
               std::to_string(size.width) + " x " + std::to_string(size.height) +
               " raw 16-bit samples take " + std::to_string(due);
      return false;
    }
  } else {
    // Terrain tools write square .r16 files without a header.
    uint64_t side = 0;
    while ((side + 1) * (side + 1) <= samples && side < static_cast<uint64_t>(kMaxImageSide))
      ++side;
    if (bytes.size() % 2 != 0 || side == 0 || side * side != samples) {
      *error = name + ": " + std::to_string(bytes.size()) +
               " bytes are not a square of 16-bit samples; give the size with --raw WxH";
      return false;
    }
    size.width = size.height = static_cast<int>(side);
  }
  HeightField f;
  f.width = size.width;
  f.height = size.height;
  f.sourceBits = 16;
  f.samples.resize(static_cast<size_t>(samples));
  for (size_t i = 0; i < f.samples.size(); ++i)
    f.samples[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  *out = std::move(f);
  return true;
}

bool ReadHeightField(const std::string& path, HeightField* out, std::string* error,
                     const RawSize* raw) {
  const std::string ext = Extension(path);
  if (raw != nullptr || ext == ".r16") {
    std::vector<uint8_t> bytes;
    return ReadWholeFile(path, &bytes, error) && DecodeRawHeights(bytes, path, raw, out, error);
  }
  // TIFF by its first four bytes, in either byte order.
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) {
    uint8_t head[4] = {0, 0, 0, 0};
    const size_t n = std::fread(head, 1, 4, f);
    std::fclose(f);
    if (n == 4 && ((head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0) ||
                   (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 42)))
      return ReadTiffHeights(path, out, error);
  }
  Raster r;
  return ReadRaster(path, &r, error) && RasterToHeightField(r, path, out, error);
}

bool ReadColorImage(const std::string& path, ColorImage* out, std::string* error) {
  Raster r;
  return ReadRaster(path, &r, error) && RasterToColorImage(r, path, out, error);
}

bool WriteColorImage(const std::string& path, const ColorImage& image, std::string* error) {
  Raster r = ColorImageToRaster(image);
  std::string ext = Extension(path);
  // PGM/PPM hold no transparency; the alpha byte stays in the host's image.
  if (ext != ".png" && (r.channels == 2 || r.channels == 4)) {
    Raster opaque = r;
    int keep = r.channels - 1;
    opaque.channels = keep;
    opaque.samples.clear();
    for (size_t i = 0; i < r.samples.size(); i += r.channels)
      opaque.samples.insert(opaque.samples.end(), r.samples.begin() + i,
                            r.samples.begin() + i + keep);
    r = std::move(opaque);
  }
  return WriteRaster(path, r, error);
}

}  // namespace kelvra::tool
