// Layer records: the fields the compositor needs, and the tagged blocks that
// mark what it cannot reproduce. The layout walked, per record: rectangle,
// channel entries, blend signature and key, opacity, clipping, flags, filler,
// then the extra data: mask data, blending ranges, the name padded to a
// multiple of 4, and tagged blocks ("8BIM" or "8B64", key, length, data).
//
// Which tagged blocks mark what a layer is (checked on documents Photoshop
// saved, against the merged image it stored):
//   text layer       "TySh" (older "tySh"): the stored pixels are the
//                    rendered text; Photoshop draws partly covered edge
//                    pixels over other layers with a gamma of its own.
//   smart object     "SoLd", "SoLE", "PlLd": the stored pixels are the
//                    placed content as shown, its smart filters applied.
//   shape layer      a vector mask ("vmsk" or "vsms") with a fill ("SoCo",
//                    "GdFl", "PtFl"), perhaps a stroke ("vstk"): the stored
//                    alpha is the shape's coverage, the colours its fill's.
//   fill layer       "SoCo", "GdFl", "PtFl" without a vector mask: drawn
//                    from its settings, not its pixels: a solid colour
//                    ("SoCo") from its descriptor's colour (PsdLayerPaint),
//                    gradients and patterns refused.
//   layer effects    "lfx2" (also "lmfx", "lfxs"): a descriptor of effects;
//                    a colour overlay, a gradient overlay whose settings
//                    are matched (psd_gradient.h) and a pattern overlay
//                    (psd_pattern.h) are composited; every other effect
//                    switched on is refused by its name. The older "lrFX"
//                    block is read only without a descriptor.
//   adjustment layer the keys of kAdjustmentKeys: applied to what lies
//                    below; the kinds psd_adjustments.h reproduces are
//                    read into PsdLayerPaint, every other kind refused.
//   artboard         "artb", "artd", "abdd" on a group: a descriptor of the
//                    artboard's rectangle and background (PsdLayerPaint).
#include "bitmap/psd_layers.h"

#include <cstring>

#include "bitmap/psd_descriptor.h"
#include "bitmap/psd_gradient.h"
#include "bitmap/same_bits_math.h"

namespace kelvra {

namespace {

bool Is(const uint8_t* key, const char* text) { return std::memcmp(key, text, 4) == 0; }

bool IsSignature(const uint8_t* s) { return Is(s, "8BIM") || Is(s, "8B64"); }

// The names of the library's upper layer, and the first 31 characters of the
// shading layer's, which is all its length-prefixed name holds.
constexpr const char* kOwnNames[] = {"KShading (do not edit this layer)", "Kelvra Masked Layer",
                                     "KShading (do not edit this laye"};

// Keys of layers whose pixels are not what they show: adjustment and fill
// layers, with their names for a refusal. A fill key together with a vector
// mask is a shape layer, whose pixels are the filled shape. A solid colour
// fill ("SoCo") is read apart.
struct AdjustmentKey {
  char key[5];
  const char* feature;
};
constexpr AdjustmentKey kAdjustmentKeys[] = {
    {"GdFl", "a gradient fill layer"},
    {"PtFl", "a pattern fill layer"},
    {"vscg", "a fill layer"},
    {"brit", "a Brightness/Contrast adjustment layer"},
    {"CgEd", "a Brightness/Contrast adjustment layer"},
    {"levl", "a Levels adjustment layer"},
    {"curv", "a Curves adjustment layer"},
    {"expA", "an Exposure adjustment layer"},
    {"vibA", "a Vibrance adjustment layer"},
    {"hue ", "a Hue/Saturation adjustment layer"},
    {"hue2", "a Hue/Saturation adjustment layer"},
    {"blnc", "a Color Balance adjustment layer"},
    {"blwh", "a Black & White adjustment layer"},
    {"phfl", "a Photo Filter adjustment layer"},
    {"mixr", "a Channel Mixer adjustment layer"},
    {"clrL", "a Color Lookup adjustment layer"},
    {"nvrt", "an Invert adjustment layer"},
    {"post", "a Posterize adjustment layer"},
    {"thrs", "a Threshold adjustment layer"},
    {"grdm", "a Gradient Map adjustment layer"},
    {"selc", "a Selective Color adjustment layer"},
};

const AdjustmentKey* FindAdjustment(const uint8_t* key) {
  for (const AdjustmentKey& k : kAdjustmentKeys) {
    if (Is(key, k.key)) return &k;
  }
  return nullptr;
}

bool IsFillKey(const uint8_t* key) {
  return Is(key, "GdFl") || Is(key, "PtFl") || Is(key, "vscg");
}

void Refuse(PsdLayer* layer, PsdRead why, const char* feature) {
  layer->unsupported = why;
  layer->feature = feature;
}

// Appends one UTF-16 unit's character as UTF-8 while it fits (a surrogate
// pair's halves become '?').
void AppendUtf8(char* name, uint32_t* at, uint32_t unit) {
  char bytes[3];
  uint32_t n = 0;
  if (unit < 0x80) {
    bytes[n++] = static_cast<char>(unit);
  } else if (unit < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | unit >> 6);
    bytes[n++] = static_cast<char>(0x80 | (unit & 0x3F));
  } else if (unit >= 0xD800 && unit < 0xE000) {
    bytes[n++] = '?';
  } else {
    bytes[n++] = static_cast<char>(0xE0 | unit >> 12);
    bytes[n++] = static_cast<char>(0x80 | (unit >> 6 & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (unit & 0x3F));
  }
  if (*at + n >= sizeof PsdLayer::name) return;
  for (uint32_t i = 0; i < n; ++i) name[(*at)++] = bytes[i];
  name[*at] = 0;
}

// A blend mode as effects name it ("Md  " enumerations, both the older
// 4-character IDs and the words newer versions write) to the key a layer
// record would hold for it.
struct ModeName {
  const char* name;
  char key[5];
};
constexpr ModeName kModeNames[] = {
    {"Nrml", "norm"},       {"normal", "norm"},         {"Dslv", "diss"},
    {"dissolve", "diss"},   {"Drkn", "dark"},           {"darken", "dark"},
    {"Mltp", "mul "},       {"multiply", "mul "},       {"CBrn", "idiv"},
    {"colorBurn", "idiv"},  {"linearBurn", "lbrn"},     {"darkerColor", "dkCl"},
    {"Lghn", "lite"},       {"lighten", "lite"},        {"Scrn", "scrn"},
    {"screen", "scrn"},     {"CDdg", "div "},           {"colorDodge", "div "},
    {"linearDodge", "lddg"}, {"lighterColor", "lgCl"},  {"Ovrl", "over"},
    {"overlay", "over"},    {"SftL", "sLit"},           {"softLight", "sLit"},
    {"HrdL", "hLit"},       {"hardLight", "hLit"},      {"vividLight", "vLit"},
    {"linearLight", "lLit"}, {"pinLight", "pLit"},      {"hardMix", "hMix"},
    {"Dfrn", "diff"},       {"difference", "diff"},     {"Xclu", "smud"},
    {"exclusion", "smud"},  {"blendSubtraction", "fsub"}, {"blendDivide", "fdiv"},
    {"H   ", "hue "},       {"hue", "hue "},            {"Strt", "sat "},
    {"saturation", "sat "}, {"Clr ", "colr"},           {"color", "colr"},
    {"Lmns", "lum "},       {"luminosity", "lum "},
};

const char* ModeKey(const DescriptorId& mode) {
  for (const ModeName& m : kModeNames) {
    if (mode.Is(m.name)) return m.key;
  }
  return nullptr;
}

// An overlay effect's blend mode ("Md  "), or null when it has none the
// compositor reproduces.
BlendRow OverlayBlend(const Descriptor& effect) {
  DescriptorId mode;
  const char* key = effect.FindEnum("Md  ", &mode) ? ModeKey(mode) : nullptr;
  return key != nullptr ? FindBlend(reinterpret_cast<const uint8_t*>(key)) : nullptr;
}

// An overlay effect's opacity ("Opct", percent) as a level; false when it
// is missing or out of range. `scale` multiplies it (a gradient's opacity).
bool ReadOverlayOpacity(const Descriptor& effect, double scale, uint8_t* level) {
  double opacity = 100;
  if (!effect.FindDouble("Opct", &opacity) || !(opacity >= 0 && opacity <= 100)) return false;
  *level = RoundToLevel(opacity * scale * 255 / 100);
  return true;
}

// The effects of an effects descriptor ("lfx2", "lmfx", "lfxs"): each is an
// object under its key ("DrSh"), or a list of such objects for the effects
// newer versions allow more than one of ("dropShadowMulti"), switched on by
// its "enab" (and all of them by "masterFXSwitch"). An effect object of a
// key not known counts as an effect.
struct EffectName {
  const char* key;
  const char* feature;  // null: the colour overlay
};
constexpr EffectName kEffectNames[] = {
    {"DrSh", "a drop shadow effect"},       {"dropShadowMulti", "a drop shadow effect"},
    {"IrSh", "an inner shadow effect"},     {"innerShadowMulti", "an inner shadow effect"},
    {"OrGl", "an outer glow effect"},       {"IrGl", "an inner glow effect"},
    {"ebbl", "a bevel and emboss effect"},  {"ChFX", "a satin effect"},
    {"GrFl", "a gradient overlay effect"},  {"gradientFillMulti", "a gradient overlay effect"},
    {"patternFill", "a pattern overlay effect"}, {"FrFX", "a stroke effect"},
    {"frameFXMulti", "a stroke effect"},    {"SoFi", nullptr},
    {"solidFillMulti", nullptr},
};

// What one effects block switches on: a feature refused (the first), and
// the colour overlays.
struct Effects {
  const char* refused = nullptr;
  int32_t overlays = 0, patterns = 0;
  PsdLayerPaint overlay, pattern;
};

// A pattern overlay: "Md  ", "Opct", "Ptrn" (its "Idnt" names the pattern),
// "Scl ", "Algn" (link with layer), "phase" ("Hrzn", "Vrtc"), "Angl". Drawn
// as psd_pattern.h says, at the scales checked there, linked, at phase 0 and
// angle 0 (the one picture's settings); refused otherwise.
void ReadPatternOverlay(const Descriptor& effect, Effects* fx) {
  PsdLayerPaint& p = fx->pattern;
  DescriptorValue id;
  Descriptor ptrn, phase;
  double scale = 100, angle = 0, h = 0, v = 0;
  bool linked = true;
  uint32_t length = 0;
  const BlendRow blend = OverlayBlend(effect);
  const char* refused = nullptr;
  if (!ReadOverlayOpacity(effect, 1, &p.overlayOpacity) ||
      !effect.FindObject("Ptrn", &ptrn) || !ptrn.Find("Idnt", &id) ||
      !id.Ascii(p.patternId, kMaxPatternId, &length)) {
    refused = "a pattern overlay whose settings cannot be read";
  } else if (effect.FindDouble("Scl ", &scale) && !PatternScaleDrawn(scale)) {
    refused = "a pattern overlay at a scale whose resampling is not reproduced";
  } else if (effect.FindBool("Algn", &linked) && !linked) {
    refused = "a pattern overlay not linked with the layer";
  } else if ((effect.FindObject("phase", &phase) &&
              ((phase.FindDouble("Hrzn", &h) && h != 0) ||
               (phase.FindDouble("Vrtc", &v) && v != 0))) ||
             (effect.FindDouble("Angl", &angle) && angle != 0)) {
    refused = "a pattern overlay moved or turned (phase or angle)";
  } else if (blend == nullptr) {
    refused = "a pattern overlay in a blend mode that cannot be reproduced";
  }
  if (refused != nullptr) {
    if (fx->refused == nullptr) fx->refused = refused;
    return;
  }
  ++fx->patterns;
  p.overlay = p.patternOverlay = true;
  p.patternIdLength = static_cast<uint8_t>(length);
  p.patternScale = static_cast<uint8_t>(scale);
  p.overlayBlend = blend;
}

// One effect object under `key`, switched on unless its "enab" says not. A
// gradient overlay is composited like a colour overlay when CheckGradient
// matches it, and refused by the setting that stops it otherwise; a
// pattern overlay is read by ReadPatternOverlay.
void ReadEffect(const char* feature, bool overlay, bool gradient, bool pattern,
                const Descriptor& effect, Effects* fx) {
  bool enabled = true;
  effect.FindBool("enab", &enabled);
  if (!enabled) return;
  PsdGradient settings;
  if (gradient) {
    GradientRefusal why = ReadGradient(effect, &settings);
    if (why == GradientRefusal::kNone) why = CheckGradient(settings);
    feature = GradientRefusalText(why, true);
    overlay = why == GradientRefusal::kNone;
  }
  if (pattern) {
    ReadPatternOverlay(effect, fx);
    return;
  }
  if (!overlay) {
    if (fx->refused == nullptr) fx->refused = feature;
    return;
  }
  ++fx->overlays;
  // Colour overlay: "Md  " blend mode, "Opct" opacity in percent, "Clr ";
  // a gradient overlay has its gradient in place of the colour, and its
  // one transparency (CheckGradient) scales the opacity.
  PsdLayerPaint& p = fx->overlay;
  p.overlay = true;
  p.overlayGradient = gradient;
  if (gradient) p.gradient = settings;
  Descriptor colour;
  const double scale =
      gradient && settings.alphaCount > 0 ? settings.alphas[0].value[0] / 255.0 : 1;
  if (!ReadOverlayOpacity(effect, scale, &p.overlayOpacity) ||
      (!gradient && (!effect.FindObject("Clr ", &colour) ||
                     !ReadRgbColour(colour, p.overlayColour)))) {
    if (fx->refused == nullptr) {
      fx->refused = gradient ? GradientRefusalText(GradientRefusal::kUnreadable, true)
                             : "a colour overlay whose settings cannot be read";
    }
    return;
  }
  // Dissolve is drawn as normal where the overlay's coverage is whole or
  // nothing; the compositor refuses it where it scatters partly covered
  // pixels.
  p.overlayBlend = OverlayBlend(effect);
  if (p.overlayBlend == nullptr && fx->refused == nullptr) {
    fx->refused = "a colour overlay in a blend mode that cannot be reproduced";
  }
}

Effects ReadEffects(SourceCursor data) {
  Effects fx;
  data.Skip(4);  // object effects version
  Descriptor d;
  if (!Descriptor::ReadVersioned(data, &d)) {
    fx.refused = "layer effects whose settings cannot be read";
    return fx;
  }
  bool master = true;
  d.FindBool("masterFXSwitch", &master);
  if (!master) return fx;
  Descriptor::Items items = d.items();
  DescriptorId key;
  DescriptorValue value;
  while (items.Next(&key, &value)) {
    const char* feature = "a layer effect of a kind not known";
    bool overlay = false;
    for (const EffectName& e : kEffectNames) {
      if (key.Is(e.key)) feature = e.feature, overlay = e.feature == nullptr;
    }
    const bool gradient = key.Is("GrFl") || key.Is("gradientFillMulti");
    const bool pattern = key.Is("patternFill");
    Descriptor effect;
    DescriptorList list;
    if (value.Object(&effect)) {
      ReadEffect(feature, overlay, gradient, pattern, effect, &fx);
    } else if (value.List(&list)) {
      DescriptorValue element;
      while (list.Next(&element)) {
        if (element.Object(&effect)) ReadEffect(feature, overlay, gradient, pattern, effect, &fx);
      }
    }
  }
  return fx;
}

// A solid colour fill ("SoCo": descriptor version, then a descriptor whose
// "Clr " is the colour).
bool ReadSolidColour(SourceCursor data, uint8_t rgb[3]) {
  Descriptor d, colour;
  return Descriptor::ReadVersioned(data, &d) && d.FindObject("Clr ", &colour) &&
         ReadRgbColour(colour, rgb);
}

// An artboard's block ("artb", "artd", "abdd": descriptor version, then a
// descriptor): "artboardRect" (an object of "Top ", "Left", "Btom", "Rght"
// in whole pixels) and "artboardBackgroundType" 1 white, 2 black,
// 3 transparent, 4 the colour "Clr ". Null when read into `paint`,
// otherwise the setting that cannot be reproduced.
const char* ReadArtboard(SourceCursor data, int32_t colourChannels, PsdLayerPaint* paint) {
  Descriptor d, rect;
  if (!Descriptor::ReadVersioned(data, &d) || !d.FindObject("artboardRect", &rect)) {
    return "an artboard whose settings cannot be read";
  }
  const char* const sides[4] = {"Top ", "Left", "Btom", "Rght"};
  int32_t v[4];
  for (int32_t i = 0; i < 4; ++i) {
    double x = 0;
    if (!rect.FindDouble(sides[i], &x) || !(x >= -1e9 && x <= 1e9) ||
        x != static_cast<double>(static_cast<int32_t>(x))) {
      return "an artboard whose rectangle is not in whole pixels";
    }
    v[i] = static_cast<int32_t>(x);
  }
  paint->board.top = v[0];
  paint->board.left = v[1];
  paint->board.bottom = v[2];
  paint->board.right = v[3];
  DescriptorValue value;
  int32_t type = 0;
  if (!d.Find("artboardBackgroundType", &value) || !value.Integer(&type)) {
    return "an artboard without a background setting";
  }
  paint->artboard = true;
  paint->boardFilled = type != 3;
  if (type == 1 || type == 2) {
    std::memset(paint->boardColour, type == 1 ? 255 : 0, 3);
    return nullptr;
  }
  if (type == 3) return nullptr;
  Descriptor colour;
  if (type != 4 || !d.FindObject("Clr ", &colour) || !ReadRgbColour(colour, paint->boardColour)) {
    paint->artboard = false;
    return "an artboard background other than white, black, transparent or an RGB colour";
  }
  if (colourChannels == 1) {
    paint->artboard = false;
    return "an artboard background colour in a grayscale document";
  }
  return nullptr;
}

// The older effects block ("lrFX"): version, count, then per effect a
// signature, key and sized data. The common state ("cmnS") can hide them all;
// each effect keeps its own enabled byte at a fixed place in its data. Writers
// put both this block and the descriptor in one record, with a disabled effect
// present but switched off, so only an effect switched on counts. An effect of
// another kind, or one whose data ends before its switch, is taken as shown.
// Read only when the record has no effects descriptor.
struct OldEffect {
  char key[5];
  uint32_t enabledAt;  // bytes of its data before the enabled byte
  const char* feature;
};
constexpr OldEffect kOldEffects[] = {
    // version, blur, intensity, angle, distance, colour (10), blend signature and key
    {"dsdw", 38, "a drop shadow effect"},
    {"isdw", 38, "an inner shadow effect"},
    // version, blur, intensity, colour (10), blend signature and key
    {"oglw", 30, "an outer glow effect"},
    {"iglw", 30, "an inner glow effect"},
    // version, angle, strength, blur, two blend signatures and keys, two
    // colours (10 each), style, two opacities
    {"bevl", 55, "a bevel and emboss effect"},
    // version, blend signature and key, colour (10), opacity
    {"sofi", 23, "a colour overlay effect"},
};

// The first effect switched on, or null.
const char* OldEffectsShown(SourceCursor d) {
  d.Skip(2);  // version
  const uint16_t count = d.BE16();
  bool shown = true;
  const char* first = nullptr;
  for (uint16_t e = 0; e < count && d.ok(); ++e) {
    uint8_t head[8];
    if (!d.Read(head, 8)) break;
    SourceCursor data = d.Sub(d.BE32());
    if (!d.ok()) break;
    const uint8_t* key = head + 4;
    if (Is(key, "cmnS")) {
      data.Skip(4);  // version
      const uint8_t visible = data.U8();
      shown = !data.ok() || visible != 0;
      continue;
    }
    const OldEffect* known = nullptr;
    for (const OldEffect& o : kOldEffects) {
      if (Is(key, o.key)) known = &o;
    }
    const char* feature = known != nullptr ? known->feature : "a layer effect of a kind not known";
    bool on = true;
    if (known != nullptr) {
      data.Skip(known->enabledAt);
      const uint8_t enabled = data.U8();
      on = !data.ok() || enabled != 0;
    }
    if (on && first == nullptr) first = feature;
  }
  return shown ? first : nullptr;
}

// The length-prefixed or Unicode name against the library's names.
bool NameIsOwn(const uint8_t* name, uint32_t length) {
  for (const char* own : kOwnNames) {
    if (std::strlen(own) == length && std::memcmp(own, name, length) == 0) return true;
  }
  return false;
}

// A Unicode name ("luni": count of UTF-16 units, big-endian units) into the
// layer's name; whether it is one of the library's (only names whose every
// unit is ASCII can be).
bool ReadUnicodeName(SourceCursor d, PsdLayer* layer) {
  const uint32_t units = d.BE32();
  if (!d.ok()) return false;
  uint8_t text[64];
  bool ascii = units <= 64;
  uint32_t at = 0;
  uint16_t last = 0xFFFF;
  layer->name[0] = 0;
  for (uint32_t u = 0; u < units; ++u) {
    const uint16_t unit = d.BE16();
    if (!d.ok()) return false;
    if (unit != 0) AppendUtf8(layer->name, &at, unit);
    last = unit;
    if (unit > 0x7F) ascii = false;
    if (ascii) text[u] = static_cast<uint8_t>(unit);
  }
  layer->nulEndedName = last == 0;
  if (!ascii) return false;
  // Some editors (Krita) end the name with a NUL unit of its own.
  uint32_t length = units;
  while (length > 0 && text[length - 1] == 0) --length;
  return NameIsOwn(text, length);
}

// The extra data of one record.
PsdRead ReadExtraData(SourceCursor extra, int32_t colourChannels, PsdLayer* layer,
                      PsdLayerPaint* paint, bool* ownName, uint32_t* sectionType,
                      uint8_t groupKey[4], bool* hasGroupKey) {
  // Mask data: rectangle, default colour, flags, then optional parameters.
  SourceCursor mask = extra.Sub(extra.BE32());
  if (!extra.ok()) return PsdRead::kTruncated;
  if (mask.remaining() >= 18) {
    layer->maskRect.top = mask.S32();
    layer->maskRect.left = mask.S32();
    layer->maskRect.bottom = mask.S32();
    layer->maskRect.right = mask.S32();
    layer->maskDefault = mask.U8();
    const uint8_t flags = mask.U8();
    // Mask data without the mask's channel masks nothing.
    layer->maskEnabled = (flags & 0x02) == 0 && layer->channels[kSlotMask].present;
    // Nor does a mask without samples whose default shows everything (what
    // Photoshop writes for a fill layer's untouched mask).
    if (layer->maskDefault == 255 &&
        (layer->maskRect.Rows() == 0 || layer->maskRect.Columns() == 0)) {
      layer->maskEnabled = false;
    }
    // An inverted mask (an old flag) is not reproduced.
    if (flags & 0x04) Refuse(layer, PsdRead::kUnsupportedMask, "an inverted layer mask");
    if (flags & 0x10) {
      // Density and feather change what the mask hides.
      const uint8_t parameters = mask.U8();
      // A density of 0 % leaves the mask hiding nothing, feathered or not.
      bool noDensity = false;
      if (parameters & 0x01) {
        const uint8_t density = mask.U8();
        noDensity = density == 0;
        if (density != 0 && density != 255) {
          Refuse(layer, PsdRead::kUnsupportedMask, "a layer mask with density");
        }
      }
      if (parameters & 0x02) {
        uint8_t feather[8];
        mask.Read(feather, 8);
        for (uint8_t b : feather) {
          if (b != 0 && !noDensity) {
            Refuse(layer, PsdRead::kUnsupportedMask, "a feathered layer mask");
          }
        }
      }
      if (noDensity) layer->maskEnabled = false;
    }
    if (!mask.ok()) return PsdRead::kTruncated;
  }
  extra.Skip(extra.BE32());  // blending ranges
  const uint8_t nameLength = extra.U8();
  uint8_t name[255];
  extra.Read(name, nameLength);
  if (!extra.ok()) return PsdRead::kTruncated;
  *ownName = NameIsOwn(name, nameLength);
  {
    uint32_t at = 0;
    for (uint32_t i = 0; i < nameLength; ++i) AppendUtf8(layer->name, &at, name[i]);
  }
  // The name is padded to a multiple of 4 with its length byte; some
  // writers leave the padding out at the end of the extra data.
  const uint32_t pad = (4 - (1 + nameLength) % 4) % 4;
  extra.Skip(pad < extra.remaining() ? pad : extra.remaining());

  bool unicodeOwn = false, hasUnicode = false, vectorMask = false, vectorStroke = false;
  bool solid = false, solidRead = false, interiorAsGroup = false, unshaped = false;
  const AdjustmentKey* adjustment = nullptr;  // the last adjustment key
  int32_t adjustmentKeys = 0;                 // how many adjustment keys
  const AdjustmentOp* op = nullptr;           // the last key's operation
  const char* adjustmentRefusal = nullptr;    // why its settings are refused
  SourceCursor settings;                      // a "CgEd" block's, if any
  bool hasSettings = false;
  const AdjustmentKey* otherFill = nullptr;   // the first fill key but "SoCo"
  const char* otherFillFeature = nullptr;     // and why it is refused
  bool hasEffects = false;  // an effects descriptor
  Effects effects;
  double referenceX = 0, referenceY = 0;  // "fxrp": where the effects are laid
  const char* oldEffect = nullptr;
  while (extra.remaining() >= 12) {
    uint8_t head[8];
    extra.Read(head, 8);
    if (!IsSignature(head)) break;
    const uint8_t* key = head + 4;
    SourceCursor data = extra.Sub(extra.BE32());
    if (!extra.ok()) return PsdRead::kTruncated;
    if (Is(key, "luni")) {
      hasUnicode = true;
      unicodeOwn = ReadUnicodeName(data, layer);
    } else if (Is(key, "lsct") || Is(key, "lsdk")) {
      *sectionType = data.BE32();
      if (data.remaining() >= 8) {
        uint8_t blend[8];
        data.Read(blend, 8);
        std::memcpy(groupKey, blend + 4, 4);
        *hasGroupKey = true;
      }
    } else if (Is(key, "iOpa")) {
      layer->fill = data.U8();
    } else if (Is(key, "SoCo")) {
      solid = true;
      solidRead = ReadSolidColour(data, paint->colour);
    } else if (const AdjustmentKey* a = FindAdjustment(key)) {
      if (Is(key, "CgEd")) {
        // Beside another kind's block, the preset it came from or (for
        // Brightness/Contrast) its current settings; alone, the current
        // Brightness/Contrast settings.
        if (adjustment == nullptr) adjustment = a;
        settings = data;
        hasSettings = true;
      } else if (!IsFillKey(key)) {
        adjustment = a;
        ++adjustmentKeys;
        op = FindAdjustmentOp(key);
        adjustmentRefusal = nullptr;
        if (op != nullptr && !op->read(data, &paint->adjustment, &adjustmentRefusal)) {
          op = nullptr;
          paint->adjustment = PsdAdjustment();
        }
      } else if (otherFill == nullptr) {
        otherFill = a;
        otherFillFeature = a->feature;
        if (Is(key, "GdFl")) {
          // Refused by the setting that stops it (psd_gradient.h), or,
          // matched, as not drawn: no shared document shows one.
          Descriptor d;
          PsdGradient gradient;
          GradientRefusal why = Descriptor::ReadVersioned(data, &d) ? ReadGradient(d, &gradient)
                                                                    : GradientRefusal::kUnreadable;
          if (why == GradientRefusal::kNone) why = CheckGradient(gradient);
          otherFillFeature = why != GradientRefusal::kNone
                                 ? GradientRefusalText(why, false)
                                 : "a gradient fill layer (none of the documents its drawing "
                                   "was checked on has one)";
        }
      }
    } else if (Is(key, "vmsk") || Is(key, "vsms")) {
      vectorMask = true;
    } else if (Is(key, "vstk")) {
      vectorStroke = true;
    } else if (Is(key, "TySh") || Is(key, "tySh")) {
      layer->text = true;
    } else if (Is(key, "artb") || Is(key, "artd") || Is(key, "abdd")) {
      // An artboard shows its own background colour under its layers, and
      // nothing of the canvas outside the artboards (the first block read
      // counts when a record has more than one).
      if (!paint->artboard) {
        if (const char* why = ReadArtboard(data, colourChannels, paint)) {
          Refuse(layer, PsdRead::kArtboard, why);
        }
      }
    } else if (Is(key, "lfx2") || Is(key, "lmfx") || Is(key, "lfxs")) {
      const Effects fx = ReadEffects(data);
      if (effects.refused == nullptr) effects.refused = fx.refused;
      if (fx.overlays > 0) effects.overlay = fx.overlay;
      if (fx.patterns > 0) effects.pattern = fx.pattern;
      effects.overlays += fx.overlays;
      effects.patterns += fx.patterns;
      hasEffects = true;
    } else if (Is(key, "lrFX")) {
      oldEffect = OldEffectsShown(data);
    } else if (Is(key, "infx")) {
      // "Blend interior effects as group": the overlay becomes part of the
      // layer's contents, under its fill opacity and blend mode.
      interiorAsGroup = data.U8() != 0;
    } else if (Is(key, "fxrp")) {
      // The effects' reference point: two doubles, x then y.
      uint8_t b[16];
      if (data.Read(b, 16)) {
        double v[2];
        for (int32_t i = 0; i < 2; ++i) {
          uint64_t bits = 0;
          for (int32_t j = 0; j < 8; ++j) bits = bits << 8 | b[8 * i + j];
          std::memcpy(&v[i], &bits, 8);
        }
        referenceX = v[0];
        referenceY = v[1];
      }
    } else if (Is(key, "clbl")) {
      layer->clippedAsGroup = data.U8() != 0;
    } else if (Is(key, "knko")) {
      layer->knockout = data.U8();
    } else if (Is(key, "tsly")) {
      // "Transparency shapes layer" off: effects cover the layer's
      // transparent pixels too.
      unshaped = data.U8() == 0;
    }
  }
  layer->unshaped = unshaped;
  // A shape layer (a fill cut out by its own vector mask, with or without a
  // vector stroke) stores the shape's pixels: its alpha is the shape's
  // coverage and its colours the fill's (or stroke's). A vector mask on a
  // layer of other pixels, and adjustment layers and fill layers but solid
  // colour ones, are not drawn from the layer's pixels.
  const bool shape = vectorMask && (solid || otherFill != nullptr) && adjustment == nullptr;
  if (hasSettings && op != nullptr && adjustmentKeys == 1 &&
      !ReadAdjustmentSettings(settings, &paint->adjustment, &adjustmentRefusal)) {
    op = nullptr;
  }
  if (shape || adjustment == nullptr || op == nullptr || adjustmentKeys != 1) {
    paint->adjustment = PsdAdjustment();
  }
  if (!shape) {
    if (vectorMask || vectorStroke) Refuse(layer, PsdRead::kVectorMask, "a vector mask");
    if (adjustment != nullptr && adjustmentRefusal != nullptr) {
      Refuse(layer, PsdRead::kAdjustmentLayer, adjustmentRefusal);
    } else if (adjustment != nullptr && (op == nullptr || adjustmentKeys != 1)) {
      // A kind not reproduced, or a record with the blocks of two kinds
      // (named by the last).
      Refuse(layer, PsdRead::kAdjustmentLayer, adjustment->feature);
    } else if (adjustment != nullptr && colourChannels == paint->adjustment.refusedChannels) {
      Refuse(layer, PsdRead::kAdjustmentLayer, paint->adjustment.channelsRefusal);
    } else if (adjustment != nullptr) {
      // Reproduced: paint->adjustment holds its settings.
    } else if (otherFill != nullptr) {
      Refuse(layer, PsdRead::kAdjustmentLayer, otherFillFeature);
    } else if (solid && colourChannels == 1) {
      // Photoshop keeps the colour for a gray document in the gray working
      // space's terms (dot gain), which the document does not carry.
      Refuse(layer, PsdRead::kAdjustmentLayer, "a solid colour fill layer in a grayscale document");
    } else if (solid && !solidRead) {
      Refuse(layer, PsdRead::kAdjustmentLayer,
             "a solid colour fill layer whose colour is not RGB or cannot be read");
    } else if (solid) {
      paint->solidFill = true;
    }
  }
  // The descriptor holds the effects; the older block is only what older
  // readers see, and is read when there is no descriptor.
  if (hasEffects) {
    if (effects.refused != nullptr) {
      Refuse(layer, PsdRead::kLayerEffects, effects.refused);
    } else if (effects.overlays > 1) {
      Refuse(layer, PsdRead::kLayerEffects, "more than one colour or gradient overlay");
    } else if (effects.overlays == 1 && effects.overlay.overlayGradient &&
               (!(paint->solidFill || (adjustment == nullptr && otherFill == nullptr &&
                                        !vectorMask && !layer->text)) ||
                (layer->maskEnabled && !(layer->maskDefault == 255 &&
                                         (layer->maskRect.Rows() == 0 ||
                                          layer->maskRect.Columns() == 0))))) {
      // Laid in the box of the layer's mostly opaque pixels, or the canvas
      // for a fill (psd_compositor.h); a mask that hides something, and
      // layers of other kinds, would change that box in ways not seen.
      Refuse(layer, PsdRead::kLayerEffects,
             "a gradient overlay on a layer with a mask, or on a layer but one of pixels or a "
             "solid colour fill");
    } else if (effects.patterns > 0 && (effects.overlays + effects.patterns > 1 ||
                                        colourChannels == 1 || interiorAsGroup || unshaped)) {
      Refuse(layer, PsdRead::kLayerEffects,
             "a pattern overlay beside another overlay, in a grayscale document, or with "
             "interior effects as a group or transparency shapes layer off");
    } else if (effects.patterns == 1 &&
               (!(referenceX >= -1e9 && referenceX <= 1e9 && referenceY >= -1e9 &&
                  referenceY <= 1e9) ||
                referenceX != static_cast<double>(static_cast<int32_t>(referenceX)) ||
                referenceY != static_cast<double>(static_cast<int32_t>(referenceY)) ||
                (effects.pattern.patternScale != 100 && (referenceX != 0 || referenceY != 0)))) {
      // The tile starts at the reference point (psd_pattern.h); between
      // pixels, or away from the corner below 100 %, no document shows it.
      Refuse(layer, PsdRead::kLayerEffects,
             "a pattern overlay placed between pixels, or away from the canvas's corner below "
             "100 %");
    } else if (effects.patterns == 1) {
      const PsdLayerPaint& o = effects.pattern;
      paint->patternLeft = static_cast<int32_t>(referenceX);
      paint->patternTop = static_cast<int32_t>(referenceY);
      paint->overlay = paint->patternOverlay = true;
      paint->overlayOpacity = o.overlayOpacity;
      paint->overlayBlend = o.overlayBlend;
      paint->patternScale = o.patternScale;
      paint->patternIdLength = o.patternIdLength;
      std::memcpy(paint->patternId, o.patternId, sizeof paint->patternId);
    } else if (effects.overlays == 1 && colourChannels == 1) {
      Refuse(layer, PsdRead::kLayerEffects, "a colour overlay in a grayscale document");
    } else if (effects.overlays == 1 && interiorAsGroup) {
      Refuse(layer, PsdRead::kLayerEffects,
             "a colour overlay blended into the layer's contents (interior effects as a group)");
    } else if (effects.overlays == 1 && unshaped) {
      Refuse(layer, PsdRead::kLayerEffects,
             "a colour overlay over the layer's transparent pixels (transparency shapes layer off)");
    } else if (effects.overlays == 1) {
      paint->overlay = true;
      std::memcpy(paint->overlayColour, effects.overlay.overlayColour, 3);
      paint->overlayOpacity = effects.overlay.overlayOpacity;
      paint->overlayBlend = effects.overlay.overlayBlend;
      paint->overlayGradient = effects.overlay.overlayGradient;
      paint->gradient = effects.overlay.gradient;
    }
  } else if (oldEffect != nullptr) {
    Refuse(layer, PsdRead::kLayerEffects, oldEffect);
  }
  if (hasUnicode) *ownName = unicodeOwn;
  return PsdRead::kOk;
}

}  // namespace

uint32_t PsdRect::Rows() const {
  const int64_t n = static_cast<int64_t>(bottom) - top;
  return n > 0 && n <= INT32_MAX ? static_cast<uint32_t>(n) : 0;
}

uint32_t PsdRect::Columns() const {
  const int64_t n = static_cast<int64_t>(right) - left;
  return n > 0 && n <= INT32_MAX ? static_cast<uint32_t>(n) : 0;
}

PsdRead ReadLayerSection(SourceCursor c, LayerSection* section) {
  *section = LayerSection();
  const uint32_t sectionLength = c.BE32();
  if (!c.ok()) return PsdRead::kTruncated;
  if (sectionLength == 0) return PsdRead::kOk;
  SourceCursor s = c.Sub(sectionLength);
  const uint32_t infoLength = s.BE32();
  if (!s.ok()) return PsdRead::kTruncated;
  SourceCursor info = s.Sub(infoLength);
  if (!s.ok()) return PsdRead::kTruncated;
  int16_t stored = 0;
  if (infoLength != 0) {
    stored = info.S16();
    if (!info.ok()) return PsdRead::kTruncated;
    // A negative count means its absolute value (the composite then has a
    // transparency channel); -32768 has none.
    if (stored == -32768) return PsdRead::kBadLayerCount;
  }
  section->infoAt = info.position();
  section->infoEnd = info.end();
  section->count = stored < 0 ? -stored : stored;
  section->mergedAlpha = stored < 0;
  // After the layer info: the global mask, then tagged blocks. Layers of 16
  // or 32 bits, or layer info kept as a tagged block, are not read.
  s.Skip(s.BE32());
  while (s.ok() && s.remaining() >= 12) {
    uint8_t head[8];
    s.Read(head, 8);
    if (!IsSignature(head)) break;
    const uint32_t length = s.BE32();
    if (Is(head + 4, "Lr16") || Is(head + 4, "Lr32") || Is(head + 4, "Layr")) {
      section->deepLayers = true;
    }
    if (Is(head + 4, "Patt") && section->patternsEnd == 0) {
      section->patternsAt = s.position();
      section->patternsEnd = s.position() + length;
    }
    if (!s.Skip(length)) break;
  }
  return PsdRead::kOk;
}

PsdRead ReadLayerRecords(SourceWindow& window, const LayerSection& section,
                         int32_t colourChannels, bool excludeOwnLayer, PsdLayer* layers,
                         PsdLayerPaint* paints, int32_t* paintCount) {
  SourceCursor r(&window, section.infoAt, section.infoEnd);
  *paintCount = 0;
  uint64_t channelBytes = 0;  // channel data of the records before, in order
  for (int32_t i = 0; i < section.count; ++i) {
    PsdLayer& l = layers[i];
    l = PsdLayer();
    l.rect.top = r.S32();
    l.rect.left = r.S32();
    l.rect.bottom = r.S32();
    l.rect.right = r.S32();
    const int16_t entries = r.S16();
    for (int32_t e = 0; e < entries && r.ok(); ++e) {
      const int16_t id = r.S16();
      const uint32_t length = r.BE32();
      int32_t slot = -1;
      if (id >= 0 && id < colourChannels) slot = id;
      if (id == -1) slot = kSlotTransparency;
      if (id == -2) slot = kSlotMask;
      if (slot >= 0 && !l.channels[slot].present) {
        l.channels[slot].present = true;
        l.channels[slot].at = channelBytes;
        l.channels[slot].length = length;
      }
      channelBytes += length;
    }
    uint8_t blend[8];
    r.Read(blend, 8);  // signature, key
    l.opacity = r.U8();
    l.clipped = r.U8() != 0;
    const uint8_t flags = r.U8();
    l.hidden = (flags & 0x02) != 0;
    r.Skip(1);  // filler
    SourceCursor extra = r.Sub(r.BE32());
    if (!r.ok()) return PsdRead::kTruncated;
    bool ownName = false, hasGroupKey = false;
    uint32_t sectionType = 0;
    uint8_t groupKey[4] = {};
    PsdLayerPaint paint;
    if (PsdRead e = ReadExtraData(extra, colourChannels, &l, &paint, &ownName, &sectionType,
                                  groupKey, &hasGroupKey);
        e != PsdRead::kOk) {
      return e;
    }
    if (sectionType == 1 || sectionType == 2) {
      l.kind = LayerKind::kGroupEnd;
    } else if (sectionType == 3) {
      l.kind = LayerKind::kGroupStart;
    } else if (excludeOwnLayer && i > 0 && ownName) {
      l.kind = LayerKind::kOwnLayer;
    }
    const uint8_t* key = l.kind == LayerKind::kGroupEnd && hasGroupKey ? groupKey : blend + 4;
    if (Is(key, "pass") && l.kind == LayerKind::kGroupEnd && l.fill != 255) {
      // A pass-through group below 100 % fill: Photoshop composites its
      // layers apart, as an isolated group in normal mode whose opacity is
      // the fill (passthrough_fill_adjustment in the second shared folder:
      // an Exposure layer inside changes only the group's own pixels, every
      // sample exact; passing through at the fill's alpha is up to 171
      // levels off). Checked at opacity 100 % without a mask, with layers
      // in normal mode inside (see the group check below).
      l.blend = FindBlend(reinterpret_cast<const uint8_t*>("norm"));
      l.isolatedByFill = true;
      if (l.opacity != 255 || l.channels[kSlotMask].present) {
        Refuse(&l, PsdRead::kUnknownBlendMode,
               "fill opacity below 100 % on a pass-through group with an opacity or a mask");
      }
      l.opacity = l.fill;
    } else if (Is(key, "pass")) {
      // Pass-through is a group's mode; on a layer it blends as normal.
      l.blend = l.kind == LayerKind::kGroupEnd ? nullptr : FindBlend(
                                                               reinterpret_cast<const uint8_t*>("norm"));
    } else if (l.kind == LayerKind::kGroupEnd && l.fill != 255) {
      // What fill opacity does to an isolated group no document shows.
      l.blend = FindBlend(reinterpret_cast<const uint8_t*>("norm"));
      Refuse(&l, PsdRead::kUnknownBlendMode, "fill opacity below 100 % on a group not passing through");
    } else {
      l.blend = FindBlend(key);
      // The bottom layer is the backdrop whatever its mode; a divider has
      // no mode of its own.
      const bool modeMatters = l.kind != LayerKind::kGroupStart && i > 0;
      if (l.blend == nullptr) {
        l.blend = FindBlend(reinterpret_cast<const uint8_t*>("norm"));
        if (modeMatters) {
          Refuse(&l, PsdRead::kUnknownBlendMode, "a blend mode that cannot be reproduced");
        }
      } else if (modeMatters && l.fill != 255 && BlendTakesFillApart(l.blend)) {
        // Photoshop does not apply fill opacity as transparency in these
        // modes. Where the rule is known (linear light) it is checked at
        // opacity 100 % only, on a layer of samples with no overlay and
        // nothing clipped to it (see below); the rest stays refused.
        l.fillInside = FindFillInside(l.blend);
        if (l.fillInside == nullptr || l.opacity != 255 || l.kind != LayerKind::kPixels ||
            paint.overlay) {
          l.fillInside = nullptr;
          Refuse(&l, PsdRead::kUnknownBlendMode,
                 "fill opacity below 100 % in a blend mode that does not take it as "
                 "transparency");
        }
      }
    }
    const bool adjusts = paint.adjustment.kind != AdjustmentKind::kNone;
    if (adjusts) {
      // An adjustment applies to what lies below a layer: at the bottom
      // there is nothing, and effects on it are not reproduced.
      if (l.kind != LayerKind::kPixels) {
        Refuse(&l, PsdRead::kAdjustmentLayer, "an adjustment on a group");
      } else if (i == 0) {
        Refuse(&l, PsdRead::kAdjustmentLayer, "an adjustment layer at the bottom");
      } else if (paint.overlay) {
        Refuse(&l, PsdRead::kLayerEffects, "a colour overlay on an adjustment layer");
      }
    }
    if (paint.solidFill || paint.overlay || adjusts) {
      // What is not reproduced: effects on a group; a colour overlay or a
      // masked fill at the bottom, whose transparency and mask the backdrop
      // rule leaves out (a gradient or pattern overlay there goes over the
      // bottom layer's colours at its opacity alone).
      if (l.kind != LayerKind::kPixels) {
        Refuse(&l, PsdRead::kLayerEffects, "a colour overlay or fill on a group");
      } else if (i == 0 && paint.overlay && !paint.overlayGradient &&
                 !paint.patternOverlay) {
        Refuse(&l, PsdRead::kLayerEffects, "a colour overlay on the bottom layer");
      } else if (i == 0 && l.maskEnabled) {
        Refuse(&l, PsdRead::kAdjustmentLayer, "a solid colour fill layer with a mask at the bottom");
      }
      l.paint = (*paintCount)++;
      paints[l.paint] = paint;
    } else if (paint.artboard) {
      // Photoshop gives an artboard no opacity, mask or mode of its own;
      // on anything but a group, or with any of them, it is not reproduced.
      if (l.kind != LayerKind::kGroupEnd) {
        Refuse(&l, PsdRead::kArtboard, "an artboard on a layer that is no group");
      } else if (l.opacity != 255 || l.fill != 255 || l.maskEnabled ||
                 (l.blend != nullptr && !IsNormalBlend(l.blend))) {
        Refuse(&l, PsdRead::kArtboard, "an artboard with an opacity, mask or blend mode");
      }
      l.paint = (*paintCount)++;
      paints[l.paint] = paint;
    }
  }
  if (!r.ok()) return PsdRead::kTruncated;
  const uint64_t channelData = r.position();
  for (int32_t i = 0; i < section.count; ++i) {
    for (PsdChannelRef& ch : layers[i].channels) {
      if (ch.present) ch.at += channelData;
    }
  }

  // Groups: each divider is closed by a group record above it.
  int32_t open[kMaxGroupDepth];
  int32_t depth = 0;
  // The clipping base at each depth: the last layer not clipped.
  int32_t base[kMaxGroupDepth + 1];
  base[0] = -1;
  for (int32_t i = 0; i < section.count; ++i) {
    PsdLayer& l = layers[i];
    if (l.kind == LayerKind::kGroupStart) {
      if (depth == kMaxGroupDepth) return PsdRead::kBadGroups;
      open[depth++] = i;
      base[depth] = -1;
      continue;
    }
    if (l.kind == LayerKind::kGroupEnd) {
      if (depth == 0) return PsdRead::kBadGroups;
      const int32_t start = open[--depth];
      l.partner = start;
      layers[start].partner = i;
      // Inside a pass-through group below 100 % fill a layer in another
      // mode blends with what lies below the group, neither passing
      // through nor isolated (passthrough_fill_blendmode in the second
      // shared folder: a lighter color layer, 33 levels off isolated and
      // 134 passing through); nested groups there no document shows.
      for (int32_t j = start + 1; l.isolatedByFill && j < i; ++j) {
        if (layers[j].hidden) continue;
        if (layers[j].kind != LayerKind::kPixels || !IsNormalBlend(layers[j].blend)) {
          Refuse(&l, PsdRead::kUnknownBlendMode,
                 "a group or a blend mode other than normal inside a pass-through group below "
                 "100 % fill");
          break;
        }
      }
    }
    if (l.knockout != 0) {
      // Shallow (1), checked on transparency__knockout-isolated-groups in
      // the second shared folder: multiply layers at 100 % in an isolated
      // and a pass-through group, every sample within 1 level; composited as
      // plain layers they are 100 levels off. What the layer knocks out to
      // is its group's start (psd_compositor.h); every other setting (deep,
      // outside a group, with clipping, an opacity or fill, a layer that
      // paints from its settings) no document shows.
      if (l.knockout != 1 || l.kind != LayerKind::kPixels || depth == 0 || l.clipped ||
          l.opacity != 255 || l.fill != 255 || l.paint >= 0 || l.text ||
          l.fillInside != nullptr) {
        Refuse(&l, PsdRead::kUnknownBlendMode,
               "a knockout other than shallow, at 100 % opacity and fill, on a layer of pixels "
               "inside a group");
      } else if (depth > 0) {
        layers[open[depth - 1]].knockoutInside = true;
      }
    }
    if (!l.clipped) {
      base[depth] = i;
      continue;
    }
    // Clipped: to a layer of samples below it in the same group.
    const int32_t b = base[depth];
    if (b < 0 || layers[b].kind != LayerKind::kPixels || l.kind != LayerKind::kPixels) {
      Refuse(&l, PsdRead::kUnsupportedClipping,
             "a clipping mask on a group, or clipped to a group or to nothing");
      continue;
    }
    l.partner = b;
    layers[b].clipEnd = i + 1;
    if (layers[b].knockout != 0) {
      Refuse(&layers[b], PsdRead::kUnknownBlendMode,
             "a knockout other than shallow, at 100 % opacity and fill, on a layer of pixels "
             "inside a group");
    }
    if (layers[b].fillInside != nullptr) {
      Refuse(&layers[b], PsdRead::kUnknownBlendMode,
             "fill opacity below 100 % in linear light on a layer that others are clipped to");
    }
    // The base's overlay and what is clipped to it: which lies over the
    // other is not reproduced.
    if (layers[b].paint >= 0 && paints[layers[b].paint].overlay) {
      Refuse(&layers[b], PsdRead::kLayerEffects,
             "a colour overlay on a layer that other layers are clipped to");
    }
    // Clipping is checked on one document (clipping-mask in the second
    // shared folder: a normal layer clipped to a normal shape at 100 %,
    // exact): the clipped layers paint onto the base's colours inside its
    // shape, and the result goes on as the base would. A base below 100 %
    // fill (Photoshop fades the base's pixels, not the shape it clips to)
    // or with its clipped layers not blended as a group composites
    // otherwise, and no document shows how.
    if (layers[b].fill != 255 || !layers[b].clippedAsGroup) {
      Refuse(&layers[b], PsdRead::kUnsupportedClipping,
             "a clipping base below 100 % fill, or whose clipped layers are not blended as a "
             "group");
    }
  }
  if (depth != 0) return PsdRead::kBadGroups;
  // Documents with artboards were checked with every layer inside one, at
  // the top level: a layer beside them (what Photoshop shows of it on the
  // canvas is not known) and an artboard inside a group are refused.
  auto isBoard = [&](int32_t i) {
    return layers[i].paint >= 0 && paints[layers[i].paint].artboard;
  };
  bool boards = false;
  for (int32_t i = 0; i < section.count; ++i) boards = boards || isBoard(i);
  for (int32_t i = 0; boards && i < section.count; ++i) {
    PsdLayer& l = layers[i];
    if (l.kind == LayerKind::kGroupStart) {
      if (depth++ == 0 && !isBoard(l.partner)) {
        Refuse(&layers[l.partner], PsdRead::kArtboard, "a group beside the artboards, in none");
      }
    } else if (l.kind == LayerKind::kGroupEnd) {
      if (--depth > 0 && isBoard(i)) Refuse(&l, PsdRead::kArtboard, "an artboard inside a group");
    } else if (depth == 0 && l.kind == LayerKind::kPixels) {
      Refuse(&l, PsdRead::kArtboard, "a layer beside the artboards, in none of them");
    }
  }
  return PsdRead::kOk;
}

void MarkShownLayers(PsdLayer* layers, int32_t count, bool* shown) {
  bool groupShows[kMaxGroupDepth + 1];
  int32_t depth = 0;
  groupShows[0] = true;
  for (int32_t i = 0; i < count; ++i) {
    const PsdLayer& l = layers[i];
    switch (l.kind) {
      case LayerKind::kGroupStart: {
        const PsdLayer& g = layers[l.partner];
        const bool shows = groupShows[depth] && !g.hidden && g.opacity > 0;
        groupShows[++depth] = shows;
        shown[i] = shows;
        break;
      }
      case LayerKind::kGroupEnd:
        shown[i] = groupShows[depth--];
        break;
      case LayerKind::kOwnLayer:
        shown[i] = false;
        break;
      case LayerKind::kPixels: {
        bool shows = groupShows[depth] && !l.hidden && l.opacity > 0;
        // A clipped layer shows only where and when its base does.
        if (l.clipped && l.partner >= 0) shows = shows && shown[l.partner];
        shown[i] = shows;
        break;
      }
    }
  }
}

}  // namespace kelvra
