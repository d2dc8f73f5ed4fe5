// PNG through stb_image and stb_image_write, the same code in the native and
// the Windows build. stb reads every PNG (8 and 16 bits, grey, grey and
// alpha, RGB, RGBA, palettes, interlacing) and writes 8-bit PNG; 16-bit PNG
// is written here around stb's deflate compressor.
#include "tools/kelvra-host/png_codec.h"

#include <cstdlib>
#include <cstring>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#include "stb_image.h"
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include "stb_image_write.h"
#pragma GCC diagnostic pop

namespace kelvra::tool {
namespace {

// ---- what the file says it holds --------------------------------------------

// The header fields and whether a tRNS chunk comes before the image data:
// stb turns tRNS into an alpha channel, so the caller asks for one more
// channel than the colour type names.
struct PngLayout {
  uint32_t width = 0;
  uint32_t height = 0;
  int depth = 0;
  int colourType = -1;
  bool transparency = false;
};

uint32_t BE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Walks the chunks from the signature to the first IDAT, never past the end.
bool ReadLayout(const std::vector<uint8_t>& bytes, PngLayout* out, std::string* why) {
  size_t pos = 8;
  bool sawHeader = false;
  while (bytes.size() - pos >= 8) {
    const uint32_t length = BE32(bytes.data() + pos);
    const uint8_t* type = bytes.data() + pos + 4;
    if (length > bytes.size() - pos - 8) {
      *why = "a chunk runs past the end of the file";
      return false;
    }
    const uint8_t* data = type + 4;
    if (!sawHeader) {
      if (std::memcmp(type, "IHDR", 4) != 0 || length != 13) {
        *why = "no IHDR chunk first";
        return false;
      }
      out->width = BE32(data);
      out->height = BE32(data + 4);
      out->depth = data[8];
      out->colourType = data[9];
      sawHeader = true;
    } else if (std::memcmp(type, "tRNS", 4) == 0) {
      out->transparency = true;
    } else if (std::memcmp(type, "IDAT", 4) == 0) {
      return true;
    }
    // Length, type, data and CRC; at most 8 + 2^32 - 1 + 4, so compare
    // against what remains rather than adding.
    if (bytes.size() - pos - 8 - length < 4) break;
    pos += 12 + static_cast<size_t>(length);
  }
  *why = sawHeader ? "no image data" : "no IHDR chunk";
  return false;
}

int ChannelsOf(const PngLayout& l) {
  int base;
  switch (l.colourType) {
    case 0: base = 1; break;  // grey
    case 2: base = 3; break;  // RGB
    case 3: base = 3; break;  // palette, expanded to RGB
    case 4: return 2;         // grey and alpha
    case 6: return 4;         // RGBA
    default: return 0;
  }
  return base + (l.transparency ? 1 : 0);
}

// ---- 16-bit writing ---------------------------------------------------------

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBE32(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v >> 24));
  out->push_back(static_cast<uint8_t>(v >> 16));
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

// Length, type, data, then the CRC of type and data.
void PutChunk(std::vector<uint8_t>* out, const char* type, const uint8_t* data, size_t n) {
  PutBE32(out, static_cast<uint32_t>(n));
  const size_t typeAt = out->size();
  out->insert(out->end(), type, type + 4);
  if (n > 0) out->insert(out->end(), data, data + n);
  PutBE32(out, Crc32(out->data() + typeAt, n + 4));
}

bool EncodePng16(const Raster& r, std::vector<uint8_t>* out, std::string* error) {
  static const uint8_t kColourTypes[] = {0, 0, 4, 2, 6};
  const size_t pixelBytes = 2 * static_cast<size_t>(r.channels);
  const size_t rowBytes = pixelBytes * r.width;
  // Each row: the filter byte, then big-endian samples run through the Sub
  // filter (each byte minus the same byte of the pixel to its left), which
  // suits smooth height fields.
  std::vector<uint8_t> filtered;
  filtered.reserve((rowBytes + 1) * r.height);
  std::vector<uint8_t> row(rowBytes);
  for (int y = 0; y < r.height; ++y) {
    const uint16_t* src = r.samples.data() + static_cast<size_t>(y) * r.width * r.channels;
    for (size_t i = 0; i < rowBytes / 2; ++i) {
      row[2 * i] = static_cast<uint8_t>(src[i] >> 8);
      row[2 * i + 1] = static_cast<uint8_t>(src[i]);
    }
    filtered.push_back(1);
    for (size_t i = 0; i < rowBytes; ++i)
      filtered.push_back(static_cast<uint8_t>(row[i] - (i >= pixelBytes ? row[i - pixelBytes] : 0)));
  }
  if (filtered.size() > 0x7fffffffu) {
    *error = "the image is too large for one PNG write";
    return false;
  }
  int zlibBytes = 0;
  unsigned char* zlib = stbi_zlib_compress(filtered.data(), static_cast<int>(filtered.size()),
                                           &zlibBytes, stbi_write_png_compression_level);
  if (zlib == nullptr) {
    *error = "PNG writer failed (out of memory)";
    return false;
  }
  uint8_t header[13];
  header[0] = static_cast<uint8_t>(r.width >> 24);
  header[1] = static_cast<uint8_t>(r.width >> 16);
  header[2] = static_cast<uint8_t>(r.width >> 8);
  header[3] = static_cast<uint8_t>(r.width);
  header[4] = static_cast<uint8_t>(r.height >> 24);
  header[5] = static_cast<uint8_t>(r.height >> 16);
  header[6] = static_cast<uint8_t>(r.height >> 8);
  header[7] = static_cast<uint8_t>(r.height);
  header[8] = 16;                           // bit depth
  header[9] = kColourTypes[r.channels];     // colour type
  header[10] = 0;                           // deflate
  header[11] = 0;                           // adaptive filtering
  header[12] = 0;                           // not interlaced
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  out->assign(kSignature, kSignature + 8);
  PutChunk(out, "IHDR", header, sizeof header);
  PutChunk(out, "IDAT", zlib, static_cast<size_t>(zlibBytes));
  PutChunk(out, "IEND", nullptr, 0);
  STBIW_FREE(zlib);
  return true;
}

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
}

}  // namespace

bool DecodePng(const std::vector<uint8_t>& bytes, const std::string& name,
               Raster* out, std::string* error) {
  PngLayout layout;
  std::string why;
  if (!ReadLayout(bytes, &layout, &why)) {
    *error = name + ": not a readable PNG (" + why + ")";
    return false;
  }
  if (layout.width > static_cast<uint32_t>(kMaxImageSide) ||
      layout.height > static_cast<uint32_t>(kMaxImageSide)) {
    *error = name + ": " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
             " is larger than the host's limit of " + std::to_string(kMaxImageSide) +
             " pixels a side";
    return false;
  }
  const int channels = ChannelsOf(layout);
  if (channels == 0 || layout.width == 0 || layout.height == 0) {
    *error = name + ": not a readable PNG (colour type " + std::to_string(layout.colourType) +
             ", " + std::to_string(layout.width) + " x " + std::to_string(layout.height) + ")";
    return false;
  }
  if (bytes.size() > 0x7fffffffu) {
    *error = name + ": the file is too large";
    return false;
  }
  const int length = static_cast<int>(bytes.size());
  int w = 0, h = 0, inFile = 0;
  Raster r;
  r.channels = channels;
  // Asking for exactly the channels the layout names: stb then hands back
  // that many, whatever its own count of the file's channels says.
  if (layout.depth == 16) {
    stbi_us* p = stbi_load_16_from_memory(bytes.data(), length, &w, &h, &inFile, channels);
    if (p != nullptr) {
      r.samples.assign(p, p + static_cast<size_t>(w) * h * channels);  // machine order
      stbi_image_free(p);
    }
    r.bits = 16;
  } else {
    stbi_uc* p = stbi_load_from_memory(bytes.data(), length, &w, &h, &inFile, channels);
    if (p != nullptr) {
      r.samples.assign(p, p + static_cast<size_t>(w) * h * channels);
      stbi_image_free(p);
    }
    r.bits = 8;
  }
  if (r.samples.empty()) {
    const char* reason = stbi_failure_reason();
    *error = name + ": not a readable PNG (" + (reason != nullptr ? reason : "unknown") + ")";
    return false;
  }
  r.width = w;
  r.height = h;
  *out = std::move(r);
  return true;
}

bool EncodePng(const Raster& raster, std::vector<uint8_t>* out, std::string* error) {
  if (raster.channels < 1 || raster.channels > 4 || (raster.bits != 8 && raster.bits != 16) ||
      raster.width < 1 || raster.height < 1 ||
      raster.samples.size() !=
          static_cast<size_t>(raster.width) * raster.height * raster.channels) {
    *error = "cannot write a PNG of " + std::to_string(raster.channels) + " channels at " +
             std::to_string(raster.bits) + " bits";
    return false;
  }
  out->clear();
  if (raster.bits == 16) return EncodePng16(raster, out, error);
  std::vector<uint8_t> bytes(raster.samples.begin(), raster.samples.end());
  if (!stbi_write_png_to_func(AppendBytes, out, raster.width, raster.height, raster.channels,
                              bytes.data(), raster.width * raster.channels)) {
    *error = "PNG writer failed (out of memory)";
    return false;
  }
  return true;
}

}  // namespace kelvra::tool
