// kelvra-host's option code: each friendly option must land on the letter
// the dispatcher decodes, and bad values must be refused before any call.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/dispatcher.h"
#include "tools/kelvra-host/options.h"

namespace kelvra::tool {
namespace {

bool Resolve(const std::vector<std::string>& args, MapOptions* out, std::string* error) {
  ParsedArgs parsed;
  std::vector<OptionDef> optionDefs = MapOptionDefs();
  optionDefs.push_back({"simple", false});
  return ParseArgs(args, optionDefs, &parsed, error) && ResolveMapOptions(parsed, out, error);
}

std::string CodeFor(const std::vector<std::string>& args) {
  MapOptions o;
  std::string error;
  EXPECT_TRUE(Resolve(args, &o, &error)) << error;
  return ComposeOptionCode(o);
}

TEST(KelvraHostOptions, FormatLetterFollowsTheFormatTable) {
  struct Case { int bits, channels; bool simple; char letter; };
  const Case cases[] = {
      {8, 1, true, 'A'},  {8, 1, false, 'B'},  {8, 3, true, 'C'},  {8, 3, false, 'D'},
      {16, 1, true, 'E'}, {16, 1, false, 'F'}, {16, 3, true, 'G'}, {16, 3, false, 'H'},
      {32, 1, true, 'I'}, {32, 1, false, 'J'}, {32, 3, true, 'K'}, {32, 3, false, 'L'},
  };
  for (const Case& c : cases) {
    char l = FormatLetter(c.bits, c.channels, c.simple);
    EXPECT_EQ(l, c.letter) << c.bits << "/" << c.channels << "/" << c.simple;
    // The dispatcher's own reading of the letter gives the same back.
    int shifted = (l - 'A') >> 2;
    EXPECT_EQ(shifted == 0 ? 8 : shifted == 1 ? 16 : 32, c.bits);
    EXPECT_EQ(((l - 1) & 2) ? 3 : 1, c.channels);
    EXPECT_EQ(l % 2 == 1, c.simple);
  }
}

TEST(KelvraHostOptions, FlagsModeStrengthAndCodeLetters) {
  const char flags[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  for (int n = 0; n < 8; ++n) {
    char l = FlagsLetter(n & 1, n & 2, n & 4);
    EXPECT_EQ(l, flags[n]);
    int bits = l - 1;  // bit 0 smoothing, bit 1 wrap, bit 2 flip
    EXPECT_EQ(bits & 7, n);
  }
  EXPECT_EQ(ModeLetter(0), 'A');
  EXPECT_EQ(ModeLetter(3), 'D');
  struct S { int strength; char letter; };
  for (S s : {S{-10, 'A'}, S{0, 'K'}, S{4, 'O'}, S{15, 'Z'}})
    EXPECT_EQ(StrengthLetter(s.strength), s.letter) << s.strength;
  struct C { int code; const char* letters; };
  for (C c : {C{0, "AA"}, C{40, "EA"}, C{50, "FA"}, C{70, "HA"}, C{90, "JA"}, C{102, "KC"},
              C{21, "CB"}})
    EXPECT_EQ(ChannelCodeLetters(c.code), c.letters) << c.code;
}

TEST(KelvraHostOptions, CommandLinesComposeWholeCodes) {
  struct Case { std::vector<std::string> args; const char* code; };
  const Case cases[] = {
      {{}, "AAAFAAKAEAAAAA"},  // 16-bit displacement, code 40
      {{"--normal"}, "AAADAAKAFAHAJA"},
      // OpenGL's +Y up the image is the inverted Y of code 80; DirectX's
      // +Y down is code 70.
      {{"--preset", "normal-opengl"}, "AAADAAKAFAIAJA"},
      {{"--preset", "normal-directx"}, "AAADAAKAFAHAJA"},
      {{"--preset", "displacement16"}, "AAAFAAKAEAAAAA"},
      {{"--preset", "displacement-float"}, "AAAJAAKAEAAAAA"},
      {{"--preset=normal-opengl", "--bits", "16"}, "AAAHAAKAFAIAJA"},
      {{"--normal", "--mode", "2", "--simple"}, "AAACCAKAFAHAJA"},
      {{"--bits", "32", "--codes", "50,70,90", "--mode", "3", "--strength", "4", "--smooth",
        "--flip"},
       "AAALDFOAFAHAJA"},
      {{"--displacement", "--channels", "3"}, "AAAHAAKAEAEAEA"},
      {{"--bits", "8", "--codes", "21,22,0", "--wrap"}, "AAADACKACBCCAA"},
      {{"--codes", "102", "--strength", "-10"}, "AAAFAAAAKCAAAA"},
      {{"--code", "xyzDCAKqFAHAJA", "--scale", "2"}, "xyzDCAKqFAHAJA"},
  };
  for (const Case& c : cases) EXPECT_EQ(CodeFor(c.args), c.code);
}

TEST(KelvraHostOptions, TheDispatcherDecodesWhatWasAskedFor) {
  // Every combination of the friendly options, read back by the library.
  for (int bits : {8, 16, 32})
    for (int channels : {1, 3})
      for (int mode = 0; mode < 4; ++mode)
        for (int flags = 0; flags < 8; ++flags)
          for (int strength : {-10, -1, 0, 7, 15}) {
            MapOptions o;
            o.bits = bits;
            o.channels = channels;
            o.mode = mode;
            o.smooth = flags & 1;
            o.wrap = flags & 2;
            o.flip = flags & 4;
            o.strength = strength;
            o.codes[0] = 102 - strength - 10;
            o.codes[1] = channels == 3 ? 70 + mode : 0;
            o.codes[2] = channels == 3 ? 9 * flags : 0;
            std::string code = ComposeOptionCode(o);
            ASSERT_EQ(code.size(), kOptionCodeLength);
            OptionCode d = DecodeOptionCode(code.c_str());
            EXPECT_EQ(d.bitsPerSample, bits) << code;
            EXPECT_EQ(d.channelCount, channels) << code;
            EXPECT_EQ(d.scaleMode, mode) << code;
            EXPECT_EQ(d.smoothing, o.smooth) << code;
            EXPECT_EQ(d.wrapEdges, o.wrap) << code;
            EXPECT_EQ(d.flipVertical, o.flip) << code;
            EXPECT_EQ(d.strength, strength) << code;
            for (int c = 0; c < 3; ++c) EXPECT_EQ(d.codes[c], o.codes[c]) << code << " " << c;
          }
}

TEST(KelvraHostOptions, ScaleIsKeptForTheNegativeCommand) {
  MapOptions o;
  std::string error;
  ASSERT_TRUE(Resolve({"--scale", "2.5", "--mode", "1"}, &o, &error)) << error;
  EXPECT_EQ(o.scale, 2.5);
  ASSERT_TRUE(Resolve({}, &o, &error));
  EXPECT_EQ(o.scale, 1.0);
}

TEST(KelvraHostOptions, BadValuesAreRefusedWithTheirReason) {
  struct Case { std::vector<std::string> args; const char* reason; };
  const Case cases[] = {
      {{"--bits", "12"}, "--bits wants 8, 16 or 32"},
      {{"--bits", "sixteen"}, "--bits wants a whole number"},
      {{"--channels", "2"}, "--channels wants 1 or 3"},
      {{"--codes", "50,70"}, "one code or three"},
      {{"--codes", "103"}, "--codes wants a whole number from 0 to 102"},
      {{"--codes", "50,,90"}, "--codes wants a whole number"},
      {{"--codes", "50,70,90", "--channels", "1"}, "--channels 1 needs 1 code"},
      {{"--normal", "--channels", "1"}, "needs --codes"},
      {{"--mode", "4"}, "--mode wants a whole number from 0 to 3"},
      {{"--strength", "16"}, "from -10 to 15"},
      {{"--strength", "-11"}, "from -10 to 15"},
      {{"--scale", "0"}, "--scale must be above 0"},
      {{"--scale", "-2"}, "--scale must be above 0"},
      {{"--scale", "inf"}, "--scale wants a number"},
      {{"--scale", "2x"}, "--scale wants a number"},
      {{"--code", "AAADAAKAFAHAJ"}, "exactly 14 characters"},
      {{"--code", "AAADAAKAFAHAJAA"}, "exactly 14 characters"},
      {{"--code", "AAADAAKAFAHAJA", "--bits", "8"}, "cannot be combined with --bits"},
      {{"--preset", "normal-vulkan"}, "unknown preset 'normal-vulkan'"},
      {{"--preset", "normal-opengl", "--normal"}, "exclude each other"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--bits"}, "option --bits needs a value"},
      {{"--smooth=yes"}, "takes no value"},
  };
  for (const Case& c : cases) {
    MapOptions o;
    std::string error;
    EXPECT_FALSE(Resolve(c.args, &o, &error)) << c.args[0];
    EXPECT_NE(error.find(c.reason), std::string::npos) << "'" << error << "' lacks '" << c.reason << "'";
  }
}

TEST(KelvraHostOptions, DoubleDashEndsTheOptions) {
  ParsedArgs parsed;
  std::string error;
  ASSERT_TRUE(ParseArgs({"-o", "x.tif", "--", "--normal"}, {{"o", true}, {"normal", false}},
                        &parsed, &error));
  EXPECT_EQ(parsed.Get("o"), "x.tif");
  EXPECT_FALSE(parsed.Has("normal"));
  ASSERT_EQ(parsed.positional.size(), 1u);
  EXPECT_EQ(parsed.positional[0], "--normal");
}

}  // namespace
}  // namespace kelvra::tool
