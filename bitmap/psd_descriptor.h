// Photoshop's action descriptors: the self-describing records that tagged
// blocks such as "SoCo" (a solid colour fill), "lfx2"/"lmfx" (layer effects),
// "GdFl", "CgEd" or "vibA" keep their settings in.
//
// Layout (every number big-endian):
//   descriptor   class name (Unicode string), class ID, item count (4 bytes),
//                then per item: key (an ID), type (4 characters), value
//   ID           a 4-byte length, then that many bytes; a length of 0 means
//                4 bytes follow ("Clr ", "Objc" style keys), otherwise the
//                key is a word ("masterFXSwitch", "linearBurn")
//   Unicode      a 4-byte count of UTF-16 units, then the units
//   values by type:
//     "Objc" "GlbO"  a descriptor               "VlLs"  count, then typed values
//     "doub"         8-byte IEEE double          "UntF"  unit (4 chars), double
//     "UnFl"         unit, count, doubles        "TEXT"  Unicode string
//     "enum"         type ID, value ID           "long"  4-byte integer
//     "comp"         8-byte integer              "bool"  1 byte
//     "type" "GlbC"  Unicode name, class ID      "tdta" "alis" "Pth "  length, bytes
//     "obj "         count, then references: "prop" (name, class, key),
//                    "Clss" (name, class), "Enmr" (name, class, type, value),
//                    "rele" (name, class, 4-byte offset), "Idnt" and "indx"
//                    (4 bytes), "name" (name, class, Unicode string)
//
// Reading never allocates and never passes the cursor's end: a descriptor is
// checked whole when it is opened (every item's type known, every length
// inside, objects and lists nested at most kMaxDescriptorDepth deep), and its
// items are then found by walking them again.
#pragma once

#include <cstdint>

#include "bitmap/psd_source.h"

namespace kelvra {

// Objects and lists nested deeper than this make a descriptor unreadable.
constexpr int32_t kMaxDescriptorDepth = 32;

// A key, class or enumeration ID. IDs longer than kMax bytes are kept only as
// too long: they equal no ID the reader asks for.
struct DescriptorId {
  static constexpr uint32_t kMax = 31;
  char text[kMax + 1] = {};
  uint8_t length = 0;
  bool tooLong = false;
  // Exactly this text (4-character keys with their spaces: "Rd  ").
  bool Is(const char* s) const;
};

enum class DescriptorType : uint8_t {
  kObject,        // "Objc", "GlbO"
  kList,          // "VlLs"
  kDouble,        // "doub"
  kUnitFloat,     // "UntF"
  kUnitFloats,    // "UnFl"
  kText,          // "TEXT"
  kEnum,          // "enum"
  kInteger,       // "long"
  kLargeInteger,  // "comp"
  kBool,          // "bool"
  kClass,         // "type", "GlbC"
  kReference,     // "obj "
  kBytes,         // "tdta", "alis", "Pth "
};

class Descriptor;
class DescriptorList;

// One value of a descriptor or list: its type and its bytes.
class DescriptorValue {
 public:
  DescriptorType type() const { return type_; }
  // Each is false when the value is of another type (or cannot be read).
  bool Double(double* v) const;  // "doub", or "UntF" in any unit
  bool UnitFloat(DescriptorId* unit, double* v) const;
  bool Integer(int32_t* v) const;
  bool Bool(bool* v) const;
  // "TEXT" of ASCII characters only (a final NUL unit dropped), at most
  // `capacity` of them, into text; its length in *length.
  bool Ascii(char* text, uint32_t capacity, uint32_t* length) const;
  bool Enum(DescriptorId* type, DescriptorId* value) const;
  bool Object(Descriptor* d) const;
  bool List(DescriptorList* list) const;

 private:
  friend class Descriptor;
  friend class DescriptorList;
  DescriptorType type_ = DescriptorType::kBool;
  SourceCursor data_;  // the value's bytes, after its type
  int32_t depth_ = 0;  // of the object or list this value would open
};

class Descriptor {
 public:
  // The descriptor at the start of `c`; false when it is broken anywhere
  // (see above). `*used`, when given, receives its length in bytes.
  static bool Read(SourceCursor c, Descriptor* d, uint64_t* used = nullptr);
  // The form tagged blocks hold: a 4-byte descriptor version (16), then the
  // descriptor.
  static bool ReadVersioned(SourceCursor c, Descriptor* d);

  const DescriptorId& classId() const { return classId_; }
  uint32_t count() const { return count_; }

  // The value under `key` (the first, should a key repeat); false when there
  // is none.
  bool Find(const char* key, DescriptorValue* v) const;
  // Find and read in one step; false when absent or of another type.
  bool FindDouble(const char* key, double* v) const;
  bool FindBool(const char* key, bool* v) const;
  bool FindEnum(const char* key, DescriptorId* value) const;
  bool FindObject(const char* key, Descriptor* d) const;

  // The items in order: Next gives each key and value, then false.
  class Items {
   public:
    bool Next(DescriptorId* key, DescriptorValue* value);

   private:
    friend class Descriptor;
    SourceCursor at_;
    uint32_t left_ = 0;
    int32_t depth_ = 0;
  };
  Items items() const;

 private:
  friend class DescriptorValue;
  // After the class ID and count at `c` (already checked): the items.
  static bool Open(SourceCursor c, int32_t depth, bool check, Descriptor* d, uint64_t* used);
  SourceCursor items_;  // the items' bytes
  DescriptorId classId_;
  uint32_t count_ = 0;
  int32_t depth_ = 0;
};

class DescriptorList {
 public:
  uint32_t count() const { return count_; }
  // The values in order, then false.
  bool Next(DescriptorValue* value);

 private:
  friend class DescriptorValue;
  SourceCursor at_;
  uint32_t count_ = 0, read_ = 0;
  int32_t depth_ = 0;
};

// A colour of a descriptor ("Clr " objects): red, green and blue as levels
// 0..255 ("Rd  ", "Grn ", "Bl  "), or as fractions 0..1 ("redFloat" ...),
// each rounded to the nearest level. False for a colour of another model
// (gray, CMYK, Lab, HSB, book colours) or values that are not numbers.
bool ReadRgbColour(const Descriptor& colour, uint8_t rgb[3]);

}  // namespace kelvra
