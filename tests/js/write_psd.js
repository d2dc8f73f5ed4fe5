// Writes a layered Photoshop document with ag-psd from a JSON description,
// for the native tests to compare our reader with an independent compositor.
//
//   node write_psd.js DESC.json OUT.psd [DESC.json OUT.psd ...]
//
// DESC: { width, height, realMergedData (bool), composite (optional path of
// width x height RGBA bytes stored as the merged image), layers: [...] } with
// layers bottom first. A layer:
//   name, blendMode (ag-psd's names: "multiply", "pass through", ...), opacity
//   and fillOpacity (0..1), hidden, clipping,
//   rect [top, left, bottom, right] (may reach outside the document),
//   seed (picks the colours), range [lo, hi] (levels squeezed into it),
//   alpha "opaque" | "ramp" | "holes",
//   mask { rect, seed, defaultColor, disabled },
//   children [...] (a group, bottom first), opened,
//   adjustment / vectorMask: true to add that feature; effect: "enabled" or
//   "disabled" (a drop shadow).
// Pixels are computed here from the seed, so a description names a document exactly.
'use strict';
const fs = require('fs');
const { writePsd } = require('ag-psd');

// Colour levels spread over 0..255, with exact 0, 128 and 255 sprinkled in:
// the blend formulas differ most at those edges.
function level(x, y, seed, c) {
  const k = (x + 2 * y + 3 * seed + c) % 13;
  if (k === 0) return 0;
  if (k === 1) return 255;
  if (k === 2) return 128;
  return ((x * (5 + c) + y * (3 + 2 * c) + seed * 53 + c * 90) * 7) % 256;
}

function alphaAt(kind, x, y, w) {
  if (kind === 'ramp') return w > 1 ? Math.round((x * 255) / (w - 1)) : 255;
  if (kind === 'holes') return ((x >> 2) + (y >> 2)) % 3 === 0 ? 0 : 255;
  return 255;
}

function pixels(rect, seed, alpha, maskOnly, range) {
  const [lo, hi] = range || [0, 255];
  const [top, left, bottom, right] = rect;
  const width = right - left, height = bottom - top;
  const data = new Uint8ClampedArray(4 * width * height);
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const i = 4 * (y * width + x);
      if (maskOnly) {
        // Mask levels: whole ramps with 0 and 255 blocks.
        const v = ((x >> 3) + (y >> 3)) % 3 === 0 ? 0 : ((x * 29 + y * 13 + seed * 41) % 256);
        data[i] = data[i + 1] = data[i + 2] = v;
        data[i + 3] = 255;
        continue;
      }
      for (let c = 0; c < 3; ++c) {
        data[i + c] = lo + Math.round((level(x + left, y + top, seed, c) * (hi - lo)) / 255);
      }
      data[i + 3] = alphaAt(alpha, x, y, width);
    }
  }
  return { width, height, data };
}

function layer(desc, doc) {
  const out = { name: desc.name || 'Layer' };
  if (desc.blendMode) out.blendMode = desc.blendMode;
  if (desc.opacity !== undefined) out.opacity = desc.opacity;
  if (desc.fillOpacity !== undefined) out.fillOpacity = desc.fillOpacity;
  if (desc.hidden) out.hidden = true;
  if (desc.clipping) out.clipping = true;
  if (desc.children) {
    out.children = desc.children.map((c) => layer(c, doc));
    out.opened = desc.opened !== false;
    return out;
  }
  const rect = desc.rect || [0, 0, doc.height, doc.width];
  if (desc.adjustment) {
    out.adjustment = { type: 'brightness/contrast', brightness: 40, contrast: 10 };
  } else {
    [out.top, out.left, out.bottom, out.right] = rect;
    out.imageData = pixels(rect, desc.seed || 0, desc.alpha || 'opaque', false, desc.range);
  }
  if (desc.mask) {
    const r = desc.mask.rect || rect;
    out.mask = { top: r[0], left: r[1], bottom: r[2], right: r[3],
      defaultColor: desc.mask.defaultColor || 0, disabled: !!desc.mask.disabled,
      imageData: pixels(r, desc.mask.seed || 0, 'opaque', true) };
  }
  if (desc.vectorMask) {
    out.vectorMask = { paths: [{ open: false, fillRule: 'non-zero', knots: [
      { linked: false, points: [2, 2, 2, 2, 2, 2] },
      { linked: false, points: [20, 2, 20, 2, 20, 2] },
      { linked: false, points: [20, 14, 20, 14, 20, 14] },
      { linked: false, points: [2, 14, 2, 14, 2, 14] }] }] };
  }
  if (desc.effect) {
    // "enabled" or "disabled": a disabled effect draws nothing.
    const enabled = desc.effect !== 'disabled';
    out.effects = { dropShadow: [{ present: true, showInDialog: true, enabled,
      color: { r: 0, g: 0, b: 0 }, blendMode: 'multiply', opacity: 0.75, angle: 120,
      distance: { units: 'Pixels', value: 3 }, size: { units: 'Pixels', value: 3 },
      choke: { units: 'Pixels', value: 0 }, useGlobalLight: false, antialiased: false,
      layerConceals: true }] };
  }
  return out;
}

function write(descPath, outPath) {
  const desc = JSON.parse(fs.readFileSync(descPath, 'utf8'));
  const psd = {
    width: desc.width,
    height: desc.height,
    children: desc.layers.map((l) => layer(l, desc)),
    imageResources: {
      versionInfo: { hasRealMergedData: !!desc.realMergedData, writerName: 'ag-psd',
        readerName: 'ag-psd', fileVersion: 1 },
    },
  };
  if (desc.composite) {
    psd.imageData = { width: desc.width, height: desc.height,
      data: new Uint8ClampedArray(fs.readFileSync(desc.composite)) };
  }
  fs.writeFileSync(outPath, Buffer.from(writePsd(psd)));
}

const args = process.argv.slice(2);
for (let i = 0; i + 1 < args.length; i += 2) write(args[i], args[i + 1]);
