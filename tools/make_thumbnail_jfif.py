#!/usr/bin/python3
"""Regenerates the 2 x 2 JFIF image of the layered documents' thumbnail
resource (1036), exactly 539 bytes.

libjpeg's cjpeg encodes a uniform 2 x 2 image at quality 50 (so the
quantisation tables are the example tables of the JPEG standard, Annex K)
with the standard Huffman tables, luminance sampled 2 x 2 and chrominance
1 x 1, and a restart interval of one MCU. This script then lays the markers out
the way the thumbnail resource states them:

    SOI, APP0 "JFIF" 1.02 at 72 x 72 dpi, APP14 "Adobe" (version 100, flags
    0x8000 and 0, colour transform 1), one DQT with both tables, SOF0, DRI,
    one DHT with the four tables, SOS, the coded data, EOI,

and cuts the chrominance AC table after its first 63 codes so that the image
is exactly 539 bytes. The image is one colour, so the scan uses only the
end-of-block code of the AC tables (the first code of each), and cutting the
longest codes of a canonical table leaves every other code unchanged.

Usage: make_thumbnail_jfif.py OUTPUT.jpg   (prints the tables as C++ too)
"""
import subprocess
import sys

COLOUR = (200, 40, 40)
QUALITY = 50
CHROMA_AC_CODES_KEPT = 63
EXPECTED_LENGTH = 539
EXPECTED_CODED_BYTES = 7


def encode():
    ppm = b"P6\n2 2\n255\n" + bytes(COLOUR) * 4
    out = subprocess.run(
        ["cjpeg", "-quality", str(QUALITY), "-sample", "2x2,1x1,1x1",
         "-restart", "1B", "-baseline"],
        input=ppm, capture_output=True, check=True).stdout
    return out


def segments(jpeg):
    """(marker, payload) pairs after SOI; the coded data as marker None."""
    assert jpeg[:2] == b"\xff\xd8"
    i = 2
    while True:
        assert jpeg[i] == 0xFF, "marker expected"
        marker = jpeg[i + 1]
        if marker == 0xD9:
            return
        length = jpeg[i + 2] << 8 | jpeg[i + 3]
        yield marker, jpeg[i + 4:i + 2 + length]
        i += 2 + length
        if marker == 0xDA:
            end = jpeg.index(b"\xff\xd9", i)
            yield None, jpeg[i:end]
            i = end


def huffman_tables(payload):
    tables = []
    i = 0
    while i < len(payload):
        cls_id = payload[i]
        counts = list(payload[i + 1:i + 17])
        n = sum(counts)
        symbols = list(payload[i + 17:i + 17 + n])
        tables.append((cls_id, counts, symbols))
        i += 17 + n
    return tables


def cut(counts, symbols, keep):
    out, left = [], keep
    for c in counts:
        out.append(min(c, left))
        left -= out[-1]
    return out, symbols[:keep]


def segment(marker, payload):
    return bytes([0xFF, marker]) + (len(payload) + 2).to_bytes(2, "big") + payload


def build():
    parts = {}
    dht = []
    for marker, payload in segments(encode()):
        if marker == 0xDB:
            parts.setdefault("dqt", b"")
            parts["dqt"] += payload
        elif marker == 0xC4:
            dht += huffman_tables(payload)
        elif marker in (0xC0, 0xDD, 0xDA):
            parts[marker] = payload
        elif marker is None:
            parts["data"] = payload
    assert len(parts["data"]) == EXPECTED_CODED_BYTES, len(parts["data"])
    tables = []
    for cls_id, counts, symbols in dht:
        if cls_id == 0x11:
            counts, symbols = cut(counts, symbols, CHROMA_AC_CODES_KEPT)
        tables.append((cls_id, counts, symbols))
    app0 = b"JFIF\0" + bytes([1, 2, 1]) + (72).to_bytes(2, "big") * 2 + b"\0\0"
    app14 = b"Adobe" + (100).to_bytes(2, "big") + (0x8000).to_bytes(2, "big") \
        + (0).to_bytes(2, "big") + b"\x01"
    dht_payload = b"".join(bytes([c]) + bytes(n) + bytes(s) for c, n, s in tables)
    jpeg = (b"\xff\xd8" + segment(0xE0, app0) + segment(0xEE, app14)
            + segment(0xDB, parts["dqt"]) + segment(0xC0, parts[0xC0])
            + segment(0xDD, parts[0xDD]) + segment(0xC4, dht_payload)
            + segment(0xDA, parts[0xDA]) + parts["data"] + b"\xff\xd9")
    assert len(jpeg) == EXPECTED_LENGTH, len(jpeg)
    return jpeg, parts, tables


def cxx_list(values, per_line=16):
    rows = [", ".join(str(v) for v in values[i:i + per_line])
            for i in range(0, len(values), per_line)]
    return "{" + ",\n ".join(rows) + "}"


def main():
    jpeg, parts, tables = build()
    with open(sys.argv[1], "wb") as f:
        f.write(jpeg)
    dqt = parts["dqt"]
    print("luminance quantisation (zigzag):", cxx_list(list(dqt[1:65])))
    print("chrominance quantisation (zigzag):", cxx_list(list(dqt[66:130])))
    for cls_id, counts, symbols in tables:
        print("huffman class/id %02x counts:" % cls_id, cxx_list(counts))
        print("  symbols:", cxx_list(["0x%02X" % s for s in symbols], 12))
    print("DRI:", parts[0xDD].hex(), " SOF0:", parts[0xC0].hex(), " SOS:", parts[0xDA].hex())
    print("coded data:", ", ".join("0x%02X" % b for b in parts["data"]))


if __name__ == "__main__":
    main()
