# Reads a map file with PIL and prints its mode, size and every pixel, as a
# second independent reader for the map tests. Run with the system Python
# (/usr/bin/python3), which has python3-pil.
#
#   pil_samples.py FILE
#
# First line: mode width height. Then one line per row: the pixel values,
# integers in decimal, floats as the hexadecimal bits of the 32-bit value,
# the three samples of an RGB pixel one after the other.
import struct
import sys

from PIL import Image

with Image.open(sys.argv[1]) as im:
    im.load()
    print(im.mode, im.width, im.height)
    px = im.load()
    for y in range(im.height):
        out = []
        for x in range(im.width):
            v = px[x, y]
            if isinstance(v, tuple):
                out.extend(str(c) for c in v)
            elif isinstance(v, float):
                out.append("%08x" % struct.unpack("<I", struct.pack("<f", v))[0])
            else:
                out.append(str(v))
        print(" ".join(out))
