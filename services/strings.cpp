// Pure string and byte services: no platform calls.
#include <cstring>

#include "services/services.h"

namespace kelvra {

char* StrCopyBounded(const char* src, char* dst, int32_t n) {
  if (n < 1) n = 255;
  while (*src != 0 && n > 0) {
    *dst++ = *src++;
    --n;
  }
  *dst = 0;
  return dst;
}

int32_t StrLength(const char* text) {
  const char* p = text;
  while (*p != 0) ++p;
  return static_cast<int32_t>(p - text);
}

namespace {

// Control characters, the space and every byte of 128 or more count as blanks:
// the byte read as a signed 8-bit value is at most 32.
bool IsBlank(char c) { return static_cast<signed char>(c) <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const char* NameMatch(const char* name, const char* text, bool loose,
                      bool skipDigits) {
  if (*name == 0) return text;
  if (!loose) {
    while (*name != 0) {
      if (*name != *text) return nullptr;
      ++name;
      ++text;
    }
    return text;
  }
  while (*name != 0) {
    if (*text == 0) {
      // The text ended first: what is left of the name may only be blanks
      // (and digits when they are skipped).
      for (; *name != 0; ++name) {
        if (!IsBlank(*name) && !(skipDigits && IsDigit(*name))) return nullptr;
      }
      return text;
    }
    if (*name == *text) {
      ++name;
      ++text;
    } else if (IsBlank(*name)) {
      ++name;
    } else if (IsBlank(*text)) {
      ++text;
    } else if (skipDigits && IsDigit(*name)) {
      ++name;
    } else if (skipDigits && IsDigit(*text)) {
      ++text;
    } else {
      return nullptr;
    }
  }
  return text;
}

void* MemMove(void* dst, const void* src, size_t bytes) {
  return std::memmove(dst, src, bytes);
}

void* MemCopy(void* dst, const void* src, size_t bytes) {
  return std::memcpy(dst, src, bytes);
}

}  // namespace kelvra
