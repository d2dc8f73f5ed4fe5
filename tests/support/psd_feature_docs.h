// Small hand-built layered documents, each using one thing the compositor
// honours or refuses (groups, masks with odd rectangles, clipping, blend
// modes, fill opacity, refused blocks, no composite), named by what it
// exercises. Shared by the truncation sweeps and used to seed the reader
// fuzz corpora.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::testing {

struct NamedDocument {
  std::string name;
  std::vector<uint8_t> bytes;
};

std::vector<NamedDocument> FeatureDocuments();

}  // namespace kelvra::testing
