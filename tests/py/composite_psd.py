# Composites a Photoshop document with psd-tools (Debian python3-psd-tools),
# a compositor independent of ours, ignoring any merged image the document
# carries.
#
#   python3 composite_psd.py DOC.psd OUT.rgba [DOC.psd OUT.rgba ...]
#
# Writes width x height RGBA bytes, rows top first, and prints "W H" for each.
import sys

from psd_tools import PSDImage

args = sys.argv[1:]
for doc, out_path in zip(args[0::2], args[1::2]):
    image = PSDImage.open(doc).composite(force=True).convert('RGBA')
    with open(out_path, 'wb') as out:
        out.write(image.tobytes())
    print(image.width, image.height)
