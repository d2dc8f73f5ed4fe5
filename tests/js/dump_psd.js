// Reads a Photoshop document with ag-psd and reports what it found, for the
// native tests to compare with what was written.
//
//   node dump_psd.js DOC.psd OUTDIR
//
// Prints one `key=value` line per field, the value as JSON. Pixels go to
// OUTDIR: composite.rgba and layerN.rgba (RGBA bytes, rows top first) and,
// when the document has one, the thumbnail's JPEG bytes as thumbnail.jpg.
'use strict';
const fs = require('fs');
const path = require('path');
const { readPsd, initializeCanvas } = require('ag-psd');

// Node has no canvas: a stand-in that only keeps the pixels put into it, so
// that ag-psd's own JPEG decoder can hand over the thumbnail's pixels.
const createImageData = (width, height) =>
  ({ width, height, data: new Uint8ClampedArray(4 * width * height) });
initializeCanvas((width, height) => {
  const canvas = { width, height, pixels: null };
  canvas.getContext = () => ({
    createImageData,
    putImageData: (image) => { canvas.pixels = image; },
  });
  return canvas;
}, createImageData);

const [docPath, outDir] = process.argv.slice(2);
const bytes = fs.readFileSync(docPath);
const psd = readPsd(bytes, {
  useImageData: true,     // raw bytes, no canvas and no premultiplied alpha
  useRawThumbnail: true,  // the thumbnail's JPEG bytes as stored
});

const out = [];
const put = (key, value) => out.push(`${key}=${JSON.stringify(value === undefined ? null : value)}`);

put('width', psd.width);
put('height', psd.height);
put('channels', psd.channels);
put('bitsPerChannel', psd.bitsPerChannel);
put('colorMode', psd.colorMode);
if (psd.imageData) fs.writeFileSync(path.join(outDir, 'composite.rgba'), psd.imageData.data);

const layers = psd.children || [];
put('layerCount', layers.length);
const layerFields = ['name', 'nameSource', 'id', 'blendMode', 'opacity', 'clipping', 'hidden',
  'transparencyProtected', 'protected', 'blendClippendElements', 'blendInteriorElements',
  'knockout', 'layerColor', 'referencePoint', 'top', 'left', 'bottom', 'right'];
layers.forEach((layer, i) => {
  for (const field of layerFields) put(`layer${i}.${field}`, layer[field]);
  if (layer.imageData) {
    fs.writeFileSync(path.join(outDir, `layer${i}.rgba`), layer.imageData.data);
  }
});

const resources = psd.imageResources || {};
put('resources', Object.keys(resources).sort());
for (const [key, value] of Object.entries(resources)) {
  if (key === 'thumbnailRaw') {
    put('thumbnail.width', value.width);
    put('thumbnail.height', value.height);
    fs.writeFileSync(path.join(outDir, 'thumbnail.jpg'), value.data);
  } else {
    put(`resource.${key}`, value);
  }
}
// The thumbnail once more, decoded this time.
const decoded = readPsd(bytes, { skipLayerImageData: true, skipCompositeImageData: true });
const thumbnail = decoded.imageResources && decoded.imageResources.thumbnail;
if (thumbnail && thumbnail.pixels) {
  put('thumbnail.decoded', [thumbnail.pixels.width, thumbnail.pixels.height,
    ...thumbnail.pixels.data]);
}
process.stdout.write(out.join('\n') + '\n');
