/* Reads a TIFF file with libtiff and prints its layout and every sample, as
 * an independent reader for the map tests.
 *
 *   tiff_samples FILE
 *
 * First line: width height samples-per-pixel bits-per-sample sample-format
 * photometric planar-config. Then one line per row: the samples in file
 * order, integers in decimal and floats as the hexadecimal bits of the
 * 32-bit value. Every libtiff warning or error goes to standard error as
 * "warning: ..." or "error: ..."; the exit status is 1 after an error. */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>

static int errors = 0;

static void report(const char* kind, const char* module, const char* fmt, va_list ap) {
  fprintf(stderr, "%s: %s: ", kind, module ? module : "");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
}
static void on_warning(const char* module, const char* fmt, va_list ap) {
  report("warning", module, fmt, ap);
}
static void on_error(const char* module, const char* fmt, va_list ap) {
  ++errors;
  report("error", module, fmt, ap);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: tiff_samples FILE\n");
    return 2;
  }
  TIFFSetWarningHandler(on_warning);
  TIFFSetErrorHandler(on_error);
  TIFF* tif = TIFFOpen(argv[1], "r");
  if (tif == NULL) return 1;
  uint32_t width = 0, height = 0;
  uint16_t spp = 0, bps = 0, format = 0, photometric = 0, planar = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  printf("%u %u %u %u %u %u %u\n", width, height, spp, bps, format, photometric, planar);
  tmsize_t lineBytes = TIFFScanlineSize(tif);
  unsigned char* line = malloc(lineBytes > 0 ? (size_t)lineBytes : 1);
  for (uint32_t row = 0; row < height && line != NULL; ++row) {
    if (TIFFReadScanline(tif, line, row, 0) < 0) break;
    size_t count = (size_t)width * spp;
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) putchar(' ');
      if (bps == 8) {
        printf("%u", line[i]);
      } else if (bps == 16) {
        uint16_t v;
        memcpy(&v, line + 2 * i, 2);
        printf("%u", v);
      } else {
        uint32_t bits;
        memcpy(&bits, line + 4 * i, 4);
        printf("%08x", bits);
      }
    }
    putchar('\n');
  }
  free(line);
  TIFFClose(tif);
  return errors > 0 ? 1 : 0;
}
