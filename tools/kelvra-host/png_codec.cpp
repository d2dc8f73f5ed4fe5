#include "tools/kelvra-host/png_codec.h"

#include <png.h>

#include <cstring>

namespace kelvra::tool {
namespace {

struct MemoryReader {
  const std::vector<uint8_t>* bytes;
  size_t pos;
};

void ReadFromMemory(png_structp png, png_bytep data, png_size_t length) {
  auto* in = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (length > in->bytes->size() - in->pos) png_error(png, "file ends early");
  std::memcpy(data, in->bytes->data() + in->pos, length);
  in->pos += length;
}

void WriteToMemory(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

// libpng reports through these; the message is kept for our own one line.
struct ErrorSink {
  char message[200];
};

void OnError(png_structp png, png_const_charp msg) {
  auto* sink = static_cast<ErrorSink*>(png_get_error_ptr(png));
  std::snprintf(sink->message, sizeof sink->message, "%s", msg);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

}  // namespace

bool HavePng() { return true; }

bool DecodePng(const std::vector<uint8_t>& bytes, const std::string& name,
               Raster* out, std::string* error) {
  ErrorSink sink{};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &sink, OnError, OnWarning);
  if (png == nullptr) {
    *error = name + ": cannot start the PNG reader";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  MemoryReader reader{&bytes, 0};
  // Declared before setjmp so that a longjmp leaves them in a defined state.
  std::vector<png_bytep> rows;
  std::vector<uint8_t> pixels;
  Raster result;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = name + ": not a readable PNG (" +
             (sink.message[0] ? sink.message : "out of memory") + ")";
    return false;
  }
  png_set_read_fn(png, &reader, ReadFromMemory);
  // Larger images are refused below with our own message; let libpng read
  // the header of any size.
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_read_info(png, info);
  png_uint_32 width = png_get_image_width(png, info);
  png_uint_32 height = png_get_image_height(png, info);
  if (width > static_cast<png_uint_32>(kMaxImageSide) ||
      height > static_cast<png_uint_32>(kMaxImageSide)) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = name + ": " + std::to_string(width) + " x " + std::to_string(height) +
             " is larger than the host's limit of " + std::to_string(kMaxImageSide) +
             " pixels a side";
    return false;
  }
  int colorType = png_get_color_type(png, info);
  int depth = png_get_bit_depth(png, info);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (depth == 16) png_set_swap(png);  // samples in the machine's order
  png_set_interlace_handling(png);
  png_read_update_info(png, info);

  result.width = static_cast<int>(width);
  result.height = static_cast<int>(height);
  result.channels = png_get_channels(png, info);
  result.bits = png_get_bit_depth(png, info);
  size_t rowBytes = png_get_rowbytes(png, info);
  uint64_t total = static_cast<uint64_t>(rowBytes) * height;
  if (total > 0x40000000u) png_error(png, "image too large for this program's memory");
  pixels.resize(static_cast<size_t>(total));
  rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels.data() + y * rowBytes;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);

  size_t count = static_cast<size_t>(width) * height * result.channels;
  result.samples.resize(count);
  if (result.bits == 16) {
    std::memcpy(result.samples.data(), pixels.data(), count * 2);
  } else {
    for (size_t i = 0; i < count; ++i) result.samples[i] = pixels[i];
  }
  *out = std::move(result);
  return true;
}

bool EncodePng(const Raster& raster, std::vector<uint8_t>* out, std::string* error) {
  static const int kTypes[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                               PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
  if (raster.channels < 1 || raster.channels > 4 || (raster.bits != 8 && raster.bits != 16)) {
    *error = "cannot write a PNG of " + std::to_string(raster.channels) + " channels at " +
             std::to_string(raster.bits) + " bits";
    return false;
  }
  ErrorSink sink{};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, OnError, OnWarning);
  if (png == nullptr) {
    *error = "cannot start the PNG writer";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  std::vector<uint8_t> row;
  out->clear();
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *error = std::string("PNG writer failed (") +
             (sink.message[0] ? sink.message : "out of memory") + ")";
    return false;
  }
  png_set_write_fn(png, out, WriteToMemory, FlushNothing);
  png_set_IHDR(png, info, raster.width, raster.height, raster.bits,
               kTypes[raster.channels], PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (raster.bits == 16) png_set_swap(png);
  size_t perRow = static_cast<size_t>(raster.width) * raster.channels;
  row.resize(perRow * (raster.bits / 8));
  for (int y = 0; y < raster.height; ++y) {
    const uint16_t* src = raster.samples.data() + y * perRow;
    if (raster.bits == 16) {
      std::memcpy(row.data(), src, perRow * 2);
    } else {
      for (size_t i = 0; i < perRow; ++i) row[i] = static_cast<uint8_t>(src[i]);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace kelvra::tool
