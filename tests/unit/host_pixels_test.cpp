// The colour comparison of the unchanged test and the reload: the first
// pixel whose low 24 bits differ, wherever it lies in a step of the wide
// loop, and fourth bytes that never count.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "editorlink/host_pixels.h"

namespace kelvra {
namespace {

TEST(FirstColourDifferenceTest, FindsTheFirstDifferingColourAndIgnoresTheFourthByte) {
  for (uint32_t count : {0u, 1u, 15u, 16u, 17u, 40u, 67u}) {
    std::vector<uint32_t> a(count), b(count);
    for (uint32_t i = 0; i < count; ++i) {
      a[i] = i * 2654435761u;
      // Equal colours, a different fourth byte.
      b[i] = (a[i] & 0xFFFFFFu) | (~a[i] & 0xFF000000u);
    }
    auto first = [&] {
      return FirstColourDifference(reinterpret_cast<const uint8_t*>(a.data()),
                                   reinterpret_cast<const uint8_t*>(b.data()), count);
    };
    EXPECT_EQ(first(), count) << count;
    for (uint32_t at = 0; at < count; ++at) {
      for (uint32_t bit : {0u, 8u, 16u, 23u}) {
        b[at] ^= 1u << bit;
        // A later difference too: the first one is reported.
        if (at + 3 < count) b[at + 3] ^= 0x10u;
        EXPECT_EQ(first(), at) << count << " pixels, difference at " << at << ", bit " << bit;
        b[at] ^= 1u << bit;
        if (at + 3 < count) b[at + 3] ^= 0x10u;
      }
    }
  }
}

}  // namespace
}  // namespace kelvra
