#include "tools/kelvra-host/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kelvra::tool {

// ---- generic parsing ----------------------------------------------------------

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& optionDefs,
               ParsedArgs* out, std::string* error) {
  auto find = [&](const std::string& name) -> const OptionDef* {
    for (const OptionDef& s : optionDefs)
      if (name == s.name) return &s;
    return nullptr;
  };
  bool onlyPositional = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (onlyPositional || a.size() < 2 || a[0] != '-') {
      out->positional.push_back(a);
      continue;
    }
    if (a == "--") {
      onlyPositional = true;
      continue;
    }
    std::string name, value;
    bool inlineValue = false;
    if (a[1] == '-') {
      name = a.substr(2);
      size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        inlineValue = true;
      }
    } else {
      name = a.substr(1);
      if (name.size() != 1) {  // "-5" and the like are positional numbers
        out->positional.push_back(a);
        continue;
      }
    }
    const OptionDef* def = find(name);
    if (def == nullptr) {
      *error = "unknown option " + a;
      return false;
    }
    if (def->takesValue) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          *error = "option " + a + " needs a value";
          return false;
        }
        value = args[++i];
      }
    } else if (inlineValue) {
      *error = "option --" + name + " takes no value";
      return false;
    }
    out->values[name] = value;
  }
  return true;
}

bool ParseInt(const std::string& text, const std::string& option, long lo, long hi,
              long* out, std::string* error) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) {
    *error = option + " wants a whole number from " + std::to_string(lo) + " to " +
             std::to_string(hi) + ", not '" + text + "'";
    return false;
  }
  *out = v;
  return true;
}

bool ParseDouble(const std::string& text, const std::string& option, double* out,
                 std::string* error) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v)) {
    *error = option + " wants a number, not '" + text + "'";
    return false;
  }
  *out = v;
  return true;
}

// ---- letters --------------------------------------------------------------------

char FormatLetter(int bits, int channels, bool simplePreview) {
  // (L - 'A') >> 2 picks the depth, bit 1 of (L - 1) three channels, and an
  // even character code asks command 21 for the option preview.
  int depth = bits == 8 ? 0 : bits == 16 ? 1 : 2;
  return static_cast<char>('A' + 4 * depth + (channels == 3 ? 2 : 0) + (simplePreview ? 0 : 1));
}

char ModeLetter(int mode) { return static_cast<char>('A' + mode); }

char FlagsLetter(bool smooth, bool wrap, bool flip) {
  // The letter minus 1 carries the flags in its low bits: 'A' - 1 is 64.
  return static_cast<char>('A' + (smooth ? 1 : 0) + (wrap ? 2 : 0) + (flip ? 4 : 0));
}

char StrengthLetter(int strength) { return static_cast<char>('K' + strength); }

std::string ChannelCodeLetters(int code) {
  return {static_cast<char>('A' + code / 10), static_cast<char>('A' + code % 10)};
}

std::string ComposeOptionCode(const MapOptions& o) {
  if (!o.rawCode.empty()) return o.rawCode;
  std::string code = "AAA";
  code += FormatLetter(o.bits, o.channels, o.simplePreview);
  code += ModeLetter(o.mode);
  code += FlagsLetter(o.smooth, o.wrap, o.flip);
  code += StrengthLetter(o.strength);
  code += 'A';
  for (int c = 0; c < 3; ++c) code += ChannelCodeLetters(c < o.channels ? o.codes[c] : 0);
  return code;
}

// ---- presets and resolution ------------------------------------------------------

const std::vector<Preset>& Presets() {
  static const std::vector<Preset> presets = {
      // The renderer's Y difference runs down the image (the row above minus
      // this row), so code 70 points +Y down: the DirectX convention. Code
      // 80 inverts it to +Y up the image, the OpenGL convention.
      {"normal-opengl", "8-bit RGB normal map, OpenGL convention: +Y up the image, "
                        "green above 128 on a bump's top edge (codes 50,80,90)",
       8, 3, {50, 80, 90}},
      {"normal-directx", "8-bit RGB normal map, DirectX convention: +Y down the image, "
                         "green below 128 on a bump's top edge (codes 50,70,90)",
       8, 3, {50, 70, 90}},
      {"displacement16", "16-bit grey displacement map (code 40)", 16, 1, {40, 0, 0}},
      {"displacement-float", "32-bit float displacement map (code 40)", 32, 1, {40, 0, 0}},
  };
  return presets;
}

const std::vector<OptionDef>& MapOptionDefs() {
  static const std::vector<OptionDef> optionDefs = {
      {"preset", true},   {"normal", false},  {"displacement", false}, {"bits", true},
      {"channels", true}, {"codes", true},    {"mode", true},          {"strength", true},
      {"scale", true},    {"smooth", false},  {"wrap", false},         {"flip", false},
      {"code", true},
  };
  return optionDefs;
}

bool IsNormalMap(const MapOptions& o) {
  for (int c = 0; c < o.channels; ++c)
    if (o.codes[c] >= 50) return true;
  return false;
}

const char* NormalConvention(const MapOptions& o) {
  // Green carries Y in both conventions; only its direction differs.
  if (o.channels != 3 || !o.rawCode.empty()) return nullptr;
  if (o.codes[1] == 70) return "DirectX convention (+Y down)";
  if (o.codes[1] == 80) return "OpenGL convention (+Y up)";
  return nullptr;
}

std::string DescribeMap(const MapOptions& o) {
  if (!o.rawCode.empty()) return "option code as given";
  std::string text = std::to_string(o.bits) + (o.bits == 32 ? "-bit float " : "-bit ");
  text += o.channels == 3 ? "RGB " : "grey ";
  text += IsNormalMap(o) ? "normal map" : "displacement map";
  text += " (code" + std::string(o.channels == 3 ? "s " : " ");
  for (int c = 0; c < o.channels; ++c) {
    if (c > 0) text += ',';
    text += std::to_string(o.codes[c]);
  }
  text += ")";
  const char* convention = NormalConvention(o);
  if (convention != nullptr) text += std::string(", ") + convention;
  text += ", mode " + std::to_string(o.mode);
  if (o.strength != 0) text += ", strength " + std::to_string(o.strength);
  if (o.smooth) text += ", smoothed";
  if (o.wrap) text += ", wrapped edges";
  if (o.flip) text += ", flipped";
  return text;
}

namespace {

bool ParseCodes(const std::string& text, std::vector<int>* codes, std::string* error) {
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string part = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                     : comma - start);
    long v;
    if (!ParseInt(part, "--codes", 0, 102, &v, error)) return false;
    codes->push_back(static_cast<int>(v));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (codes->size() != 1 && codes->size() != 3) {
    *error = "--codes wants one code or three, not " + std::to_string(codes->size());
    return false;
  }
  return true;
}

}  // namespace

bool ResolveMapOptions(const ParsedArgs& args, MapOptions* out, std::string* error) {
  MapOptions o;
  if (args.Has("scale")) {
    if (!ParseDouble(args.Get("scale"), "--scale", &o.scale, error)) return false;
    // Do takes the scale as a negative command number, so only a positive
    // scale can be handed over.
    if (!(o.scale > 0)) {
      *error = "--scale must be above 0, not " + args.Get("scale");
      return false;
    }
  }
  if (args.Has("code")) {
    static const char* kComposing[] = {"preset", "normal", "displacement", "bits", "channels",
                                       "codes",  "mode",   "strength",     "smooth", "wrap",
                                       "flip",   "simple"};
    for (const char* name : kComposing) {
      if (args.Has(name)) {
        *error = std::string("--code gives the whole option code; it cannot be combined with --") +
                 name;
        return false;
      }
    }
    o.rawCode = args.Get("code");
    if (o.rawCode.size() != kOptionCodeLength) {
      *error = "--code wants exactly " + std::to_string(kOptionCodeLength) +
               " characters, '" + o.rawCode + "' has " + std::to_string(o.rawCode.size());
      return false;
    }
    *out = o;
    return true;
  }

  int kinds = args.Has("preset") + args.Has("normal") + args.Has("displacement");
  if (kinds > 1) {
    *error = "--preset, --normal and --displacement exclude each other";
    return false;
  }
  bool normalKind = args.Has("normal");
  if (args.Has("preset")) {
    const Preset* found = nullptr;
    for (const Preset& p : Presets())
      if (args.Get("preset") == p.name) found = &p;
    if (found == nullptr) {
      std::string names;
      for (const Preset& p : Presets()) names += (names.empty() ? "" : ", ") + std::string(p.name);
      *error = "unknown preset '" + args.Get("preset") + "' (presets: " + names + ")";
      return false;
    }
    o.preset = found->name;
    o.bits = found->bits;
    o.channels = found->channels;
    for (int c = 0; c < 3; ++c) o.codes[c] = found->codes[c];
    normalKind = found->codes[0] >= 50;
  } else if (normalKind) {
    o.bits = 8;
    o.channels = 3;
    o.codes[0] = 50;
    o.codes[1] = 70;
    o.codes[2] = 90;
  }

  long v;
  if (args.Has("bits")) {
    if (!ParseInt(args.Get("bits"), "--bits", 8, 32, &v, error)) return false;
    if (v != 8 && v != 16 && v != 32) {
      *error = "--bits wants 8, 16 or 32, not " + args.Get("bits");
      return false;
    }
    o.bits = static_cast<int>(v);
  }
  std::vector<int> codes;
  if (args.Has("codes") && !ParseCodes(args.Get("codes"), &codes, error)) return false;
  if (args.Has("channels")) {
    if (!ParseInt(args.Get("channels"), "--channels", 1, 3, &v, error)) return false;
    if (v == 2) {
      *error = "--channels wants 1 or 3, not 2";
      return false;
    }
    if (!codes.empty() && static_cast<long>(codes.size()) != v) {
      *error = "--channels " + std::to_string(v) + " needs " + std::to_string(v) +
               (v == 1 ? " code" : " codes") + " in --codes, not " + std::to_string(codes.size());
      return false;
    }
    if (codes.empty() && v != o.channels) {
      if (normalKind) {
        *error = "a normal map with --channels " + std::to_string(v) +
                 " needs --codes to say which components go where";
        return false;
      }
      // A displacement map simply repeats its code in every channel.
      for (int c = 0; c < 3; ++c) o.codes[c] = c < v ? o.codes[0] : 0;
    }
    o.channels = static_cast<int>(v);
  }
  if (!codes.empty()) {
    o.channels = static_cast<int>(codes.size());
    for (int c = 0; c < 3; ++c) o.codes[c] = c < o.channels ? codes[c] : 0;
  }
  if (args.Has("mode")) {
    if (!ParseInt(args.Get("mode"), "--mode", 0, 3, &v, error)) return false;
    o.mode = static_cast<int>(v);
  }
  if (args.Has("strength")) {
    // Letters 'A' to 'Z': -10 (a factor of 1/11) to 15 (a factor of 4.75).
    if (!ParseInt(args.Get("strength"), "--strength", -10, 15, &v, error)) return false;
    o.strength = static_cast<int>(v);
  }
  o.smooth = args.Has("smooth");
  o.wrap = args.Has("wrap");
  o.flip = args.Has("flip");
  o.simplePreview = args.Has("simple");
  *out = o;
  return true;
}

}  // namespace kelvra::tool
