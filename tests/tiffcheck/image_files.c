/* Writes and reads PNG and TIFF files with libpng and libtiff, as an
 * independent writer and reader for kelvra-host's image tests.
 *
 *   image_files write-png FILE WIDTH HEIGHT COLOUR DEPTH [interlace] [trns=LEVEL]
 *   image_files read-png FILE
 *   image_files write-tiff FILE WIDTH HEIGHT CHANNELS BITS COMPRESSION ORDER
 *
 * The write commands take the samples on standard input: decimal numbers
 * separated by white space, the channels of a pixel one after the other,
 * rows top-down, on the depth's scale (0..255 or 0..65535), exactly
 * WIDTH * HEIGHT * channels of them.
 *
 * write-png: COLOUR is grey, grey-alpha, rgb or rgba; DEPTH 8 or 16.
 *   "interlace" writes Adam7; "trns=LEVEL" adds a tRNS chunk that marks the
 *   grey level LEVEL (or the RGB colour with LEVEL in every channel)
 *   transparent.
 * read-png: prints "width height channels depth", then one line per row with
 *   the samples as stored (no palette, tRNS or depth expansion) in decimal.
 *   Depths below 8 are refused.
 * write-tiff: CHANNELS 1 (min-is-black) or 3 (RGB, contiguous); BITS 8 or 16;
 *   COMPRESSION none, lzw or deflate; ORDER little or big (the file's byte
 *   order). One row a strip.
 *
 * Every libpng or libtiff error or warning goes to standard error; the exit
 * status is 1 after an error, 2 after bad usage. */
#include <png.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>

static int usage(void) {
  fprintf(stderr,
          "usage: image_files write-png FILE WIDTH HEIGHT grey|grey-alpha|rgb|rgba 8|16 "
          "[interlace] [trns=LEVEL]\n"
          "       image_files read-png FILE\n"
          "       image_files write-tiff FILE WIDTH HEIGHT 1|3 8|16 none|lzw|deflate little|big\n");
  return 2;
}

/* A whole decimal argument within [min, max], or -1. */
static long number(const char* text, long min, long max) {
  char* end = NULL;
  long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return -1;
  return v;
}

/* Reads exactly `count` samples no larger than `max` from standard input;
 * NULL (after a message) when there are fewer, more, or one is out of range. */
static uint16_t* read_samples(size_t count, unsigned long max) {
  uint16_t* samples = malloc(count > 0 ? count * sizeof *samples : 1);
  if (samples == NULL) return NULL;
  for (size_t i = 0; i < count; ++i) {
    unsigned long v;
    if (scanf("%lu", &v) != 1 || v > max) {
      fprintf(stderr, "error: sample %zu is missing or above %lu\n", i, max);
      free(samples);
      return NULL;
    }
    samples[i] = (uint16_t)v;
  }
  char extra;
  if (scanf(" %c", &extra) == 1) {
    fprintf(stderr, "error: more than %zu samples on standard input\n", count);
    free(samples);
    return NULL;
  }
  return samples;
}

/* ---- PNG ---------------------------------------------------------------- */

struct png_layout {
  png_uint_32 width, height;
  int type, channels, depth, interlaced;
  long trns; /* -1: no tRNS chunk */
};

/* Encodes `samples` into `f`; 1 after a libpng error, which libpng has
 * printed. Apart from the command line so that nothing libpng's jump back
 * could leave stale is kept in a local. */
static int encode_png(FILE* f, const struct png_layout* l, const uint16_t* samples,
                      unsigned char* row) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) return 1;  /* the memory goes with the process */
  png_init_io(png, f);
  /* Any size the format holds, so that a test can go past a reader's limit. */
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_set_IHDR(png, info, l->width, l->height, l->depth, l->type,
               l->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (l->trns >= 0) {
    png_color_16 colour;
    memset(&colour, 0, sizeof colour);
    colour.gray = colour.red = colour.green = colour.blue = (png_uint_16)l->trns;
    png_set_tRNS(png, info, NULL, 0, &colour);
  }
  png_write_info(png, info);
  const size_t perRow = (size_t)l->width * (size_t)l->channels;
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 y = 0; y < l->height; ++y) {
      const uint16_t* src = samples + (size_t)y * perRow;
      for (size_t i = 0; i < perRow; ++i) {
        if (l->depth == 16) {
          row[2 * i] = (unsigned char)(src[i] >> 8);  /* PNG is big-endian */
          row[2 * i + 1] = (unsigned char)src[i];
        } else {
          row[i] = (unsigned char)src[i];
        }
      }
      png_write_row(png, row);
    }
  png_write_end(png, NULL);
  png_destroy_write_struct(&png, &info);
  return 0;
}

static int write_png(int argc, char** argv) {
  if (argc < 7 || argc > 9) return usage();
  const char* path = argv[2];
  const long w = number(argv[3], 1, 0x7fffffff), h = number(argv[4], 1, 0x7fffffff);
  const long depth = number(argv[6], 8, 16);
  static const struct { const char* name; int type, channels; } colours[] = {
      {"grey", PNG_COLOR_TYPE_GRAY, 1}, {"grey-alpha", PNG_COLOR_TYPE_GRAY_ALPHA, 2},
      {"rgb", PNG_COLOR_TYPE_RGB, 3}, {"rgba", PNG_COLOR_TYPE_RGB_ALPHA, 4}};
  struct png_layout l = {0, 0, -1, 0, (int)depth, 0, -1};
  for (size_t i = 0; i < sizeof colours / sizeof colours[0]; ++i)
    if (strcmp(argv[5], colours[i].name) == 0) {
      l.type = colours[i].type;
      l.channels = colours[i].channels;
    }
  for (int i = 7; i < argc; ++i) {
    if (strcmp(argv[i], "interlace") == 0) {
      l.interlaced = 1;
    } else if (strncmp(argv[i], "trns=", 5) == 0) {
      l.trns = number(argv[i] + 5, 0, 65535);
      if (l.trns < 0) return usage();
    } else {
      return usage();
    }
  }
  if (w < 0 || h < 0 || l.type < 0 || (depth != 8 && depth != 16)) return usage();
  l.width = (png_uint_32)w;
  l.height = (png_uint_32)h;

  const size_t perRow = (size_t)w * (size_t)l.channels;
  uint16_t* samples = read_samples(perRow * (size_t)h, depth == 16 ? 65535 : 255);
  if (samples == NULL) return 1;
  unsigned char* row = malloc(perRow * (size_t)(depth / 8));
  FILE* f = fopen(path, "wb");
  if (f == NULL || row == NULL) {
    fprintf(stderr, "error: cannot create %s\n", path);
    return 1;
  }
  const int failed = encode_png(f, &l, samples, row);
  free(row);
  free(samples);
  if (fclose(f) != 0 && !failed) {
    fprintf(stderr, "error: cannot write %s\n", path);
    return 1;
  }
  return failed;
}

static int read_png(int argc, char** argv) {
  if (argc != 3) return usage();
  FILE* f = fopen(argv[2], "rb");
  if (f == NULL) {
    fprintf(stderr, "error: cannot open %s\n", argv[2]);
    return 1;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
  png_infop info = png_create_info_struct(png);
  /* libpng has printed the reason; the memory goes with the process. */
  if (setjmp(png_jmpbuf(png))) return 1;
  png_init_io(png, f);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int channels = png_get_channels(png, info);
  const int depth = png_get_bit_depth(png, info);
  if (depth < 8) png_error(png, "depths below 8 are not read here");
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  png_bytep* rows = calloc(height, sizeof *rows);
  if (rows == NULL) png_error(png, "out of memory");
  for (png_uint_32 y = 0; y < height; ++y)
    if ((rows[y] = malloc(rowBytes)) == NULL) png_error(png, "out of memory");
  png_read_image(png, rows);
  png_read_end(png, NULL);
  printf("%u %u %d %d\n", (unsigned)width, (unsigned)height, channels, depth);
  for (png_uint_32 y = 0; y < height; ++y) {
    for (size_t i = 0; i < rowBytes; i += (size_t)depth / 8) {
      const unsigned v = depth == 16 ? (unsigned)(rows[y][i] << 8 | rows[y][i + 1]) : rows[y][i];
      printf(i > 0 ? " %u" : "%u", v);
    }
    putchar('\n');
    free(rows[y]);
  }
  free(rows);
  png_destroy_read_struct(&png, &info, NULL);
  fclose(f);
  return 0;
}

/* ---- TIFF --------------------------------------------------------------- */

static int tiff_errors = 0;

static void tiff_report(const char* kind, const char* module, const char* fmt, va_list ap) {
  fprintf(stderr, "%s: %s: ", kind, module ? module : "");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
}
static void tiff_warning(const char* module, const char* fmt, va_list ap) {
  tiff_report("warning", module, fmt, ap);
}
static void tiff_error(const char* module, const char* fmt, va_list ap) {
  ++tiff_errors;
  tiff_report("error", module, fmt, ap);
}

static int write_tiff(int argc, char** argv) {
  if (argc != 9) return usage();
  const char* path = argv[2];
  long w = number(argv[3], 1, 0x7fffffff), h = number(argv[4], 1, 0x7fffffff);
  long channels = number(argv[5], 1, 3), bits = number(argv[6], 8, 16);
  static const struct { const char* name; uint16_t code; } compressions[] = {
      {"none", COMPRESSION_NONE}, {"lzw", COMPRESSION_LZW}, {"deflate", COMPRESSION_ADOBE_DEFLATE}};
  int compression = -1;
  for (size_t i = 0; i < sizeof compressions / sizeof compressions[0]; ++i)
    if (strcmp(argv[7], compressions[i].name) == 0) compression = compressions[i].code;
  const char* mode = strcmp(argv[8], "little") == 0 ? "wl" : strcmp(argv[8], "big") == 0 ? "wb" : NULL;
  if (w < 0 || h < 0 || (channels != 1 && channels != 3) || (bits != 8 && bits != 16) ||
      compression < 0 || mode == NULL)
    return usage();

  const size_t perRow = (size_t)w * (size_t)channels;
  uint16_t* samples = read_samples(perRow * (size_t)h, bits == 16 ? 65535 : 255);
  if (samples == NULL) return 1;
  TIFFSetWarningHandler(tiff_warning);
  TIFFSetErrorHandler(tiff_error);
  TIFF* tif = TIFFOpen(path, mode);
  unsigned char* row = malloc(perRow * (size_t)(bits / 8));
  if (tif == NULL || row == NULL) return 1;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, (uint32_t)w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, (uint32_t)h);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, (uint16_t)channels);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, (uint16_t)bits);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, (uint16_t)compression);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, (uint32_t)1);
  for (long y = 0; y < h && tiff_errors == 0; ++y) {
    const uint16_t* src = samples + (size_t)y * perRow;
    /* Samples in the machine's order: libtiff swaps them for a file of the
     * other byte order. */
    for (size_t i = 0; i < perRow; ++i) {
      if (bits == 16) memcpy(row + 2 * i, &src[i], 2);
      else row[i] = (unsigned char)src[i];
    }
    if (TIFFWriteScanline(tif, row, (uint32_t)y, 0) != 1) ++tiff_errors;
  }
  TIFFClose(tif);
  free(row);
  free(samples);
  return tiff_errors > 0 ? 1 : 0;
}

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  if (strcmp(argv[1], "write-png") == 0) return write_png(argc, argv);
  if (strcmp(argv[1], "read-png") == 0) return read_png(argc, argv);
  if (strcmp(argv[1], "write-tiff") == 0) return write_tiff(argc, argv);
  return usage();
}
