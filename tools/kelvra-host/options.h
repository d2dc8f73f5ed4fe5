// Command-line options of kelvra-host and the option code they compose.
//
// The option code is the 14-character text that Do's export and preview
// commands decode: character 3 the format letter (bits, channels, simple or
// option preview), 4 the mode letter, 5 the flags letter, 6 the strength
// letter and 8..13 the three channel codes as letter pairs; characters 0, 1,
// 2 and 7 are not read and hold 'A'.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelvra::tool {

inline constexpr size_t kOptionCodeLength = 14;

// ---- generic parsing ----------------------------------------------------------

struct OptionDef {
  const char* name;  // without the leading "--"; one letter means "-x"
  bool takesValue;
};

// Options as given, by name (last one wins), and the positional arguments.
struct ParsedArgs {
  std::map<std::string, std::string> values;
  std::vector<std::string> positional;
  bool Has(const std::string& name) const { return values.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
};

// Accepts "--name value", "--name=value", "-o value" and "--" (the rest is
// positional). Unknown options and missing values are errors.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& optionDefs,
               ParsedArgs* out, std::string* error);

// Whole-string numbers; false with a reason naming the option.
bool ParseInt(const std::string& text, const std::string& option, long lo, long hi,
              long* out, std::string* error);
bool ParseDouble(const std::string& text, const std::string& option, double* out,
                 std::string* error);

// ---- map options ----------------------------------------------------------------

struct MapOptions {
  int bits = 16;
  int channels = 1;
  int codes[3] = {40, 0, 0};
  int mode = 0;
  int strength = 0;
  bool smooth = false;
  bool wrap = false;
  bool flip = false;
  bool simplePreview = false;  // format letter odd: the preview shows plain heights
  double scale = 1.0;
  std::string rawCode;         // --code: used as given
  std::string preset;          // for messages
};

// The options every map command takes (render, preview).
const std::vector<OptionDef>& MapOptionDefs();

// Builds MapOptions from parsed arguments: a preset or --normal /
// --displacement first, then the single options on top.
bool ResolveMapOptions(const ParsedArgs& args, MapOptions* out, std::string* error);

// The 14-character option code for `o` (or its raw code).
std::string ComposeOptionCode(const MapOptions& o);

// Letters, exposed for the tests.
char FormatLetter(int bits, int channels, bool simplePreview);
char ModeLetter(int mode);
char FlagsLetter(bool smooth, bool wrap, bool flip);
char StrengthLetter(int strength);
std::string ChannelCodeLetters(int code);

// True when any used channel code asks for the surface normal (50 and more).
bool IsNormalMap(const MapOptions& o);

// "OpenGL convention (+Y up)" when green holds Y pointing up the image (code
// 80), "DirectX convention (+Y down)" for code 70; null otherwise.
const char* NormalConvention(const MapOptions& o);

// One-line description: "8-bit RGB normal map (codes 50,80,90), OpenGL
// convention (+Y up), mode 0".
std::string DescribeMap(const MapOptions& o);

struct Preset {
  const char* name;
  const char* summary;
  int bits;
  int channels;
  int codes[3];
};
const std::vector<Preset>& Presets();

}  // namespace kelvra::tool
