// SetUI on random interface trees. The trees are well formed, as a host's
// are (consistent links, item lists pointing only at later chains, so no walk
// can cycle), but everything else is random: shape and depth, names made of
// fuzz bytes, the two sought names in any of the three name places with any
// length field, nodes carrying both names, anchors inside the item, missing
// document or root, and allocation failure while the walk's stack grows.
//
// Checked: no memory error, nothing left outstanding, links still consistent,
// and the result: the item stands directly after the anchor exactly when both
// are found (the first in the recursive search order) and the move is
// allowed; otherwise the tree is untouched. With an allocation failing, the
// tree is either untouched or as without the failure.
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "hostsim/hostsim.h"
#include "hostsim/ui_tree.h"
#include "plugin/exports.h"
#include "plugin/setui.h"
#include "services/test_seams.h"

using namespace kelvra;
using host::UiNode;

namespace {

const char* const kNames[] = {
    "SaveDocumentAs", "Save Document As", "KEditLinkDocument", "KEdit Link Document 2",
    "SaveDoc",        "KEditLink",        "Sav",               "SaveDocumentAsCopy",
    "\x80SaveDocumentAs", "KEditLinkDocument\xff"};

// One tree built from the input; building twice from the same bytes gives
// two identical trees.
struct FuzzTree {
  hostsim::SimUiTree tree;
  hostsim::SimDocument doc;
  std::vector<std::vector<UiNode*>> chains;  // chain 0 is linked to the root
  std::vector<int> slots;  // item slots of each node, in creation order
  std::unordered_map<const UiNode*, int> index;  // creation order of each node
  UiNode* root = nullptr;
  bool hasDocument = true;

  explicit FuzzTree(fuzz::Input in) {
    const int chainCount = in.Byte(1, 4);
    // How often a node goes directly below the newest one: high values make
    // deep trees, which make the walk's stack grow.
    const int spine = in.Byte(0, 255);
    // Where the root sits and whether there is a document are decided up
    // front, so that inputs that run out while the tree is built still reach
    // the search.
    const int rootPick = in.Byte(0, 255);
    hasDocument = in.Byte(0, 31) != 31;
    chains.resize(chainCount);
    for (int c = 0; c < chainCount; ++c) {
      const int count = in.Byte(1, c == 0 ? 200 : 30);
      for (int i = 0; i < count; ++i) {
        const int itemSlots = in.Byte(0, 4);
        UiNode* n = tree.AddNode(itemSlots);
        index[n] = static_cast<int>(slots.size());
        slots.push_back(itemSlots);
        if (i > 0) {
          // Mostly below the newest node, so that some trees are deep
          // enough for the walk's stack to grow.
          const bool below = in.Byte(0, 255) < spine;
          UiNode* other = below ? chains[c].back() : chains[c][Pick(in, chains[c].size())];
          if (below || in.Byte(0, 1) == 0) {
            tree.AppendChild(other, n);
          } else {
            tree.AppendSibling(other, n);
          }
        }
        chains[c].push_back(n);
        Name(n, in);
      }
    }
    for (int c = 0; c < chainCount; ++c) {
      for (UiNode* n : chains[c]) {
        if (in.Byte(0, 3) != 0) continue;
        tree.SetKind(n, in.Byte(0, 4) == 0 ? 1006 : 1007);
        std::vector<UiNode*> items;
        const int count = in.Byte(0, 4);
        for (int i = 0; i < count; ++i) {
          const int pick = in.Byte(0, 3);
          if (pick == 0 && c + 1 < chainCount) {
            // The start of a later chain: searched through this list.
            items.push_back(chains[in.Byte(c + 1, chainCount - 1)][0]);
          } else if (pick == 1) {
            // A node with a parent: linked elsewhere, skipped here.
            const auto& from = chains[in.Byte(0, chainCount - 1)];
            UiNode* linked = from[Pick(in, from.size())];
            if (host::NodeParent(linked) != nullptr) items.push_back(linked);
          }
        }
        // Only as many entries as the record has room for.
        if (static_cast<int>(items.size()) > SlotsOf(n)) items.resize(SlotsOf(n));
        tree.SetItems(n, items);
        if (in.Byte(0, 15) == 0) tree.SetItemCount(n, -in.Byte(1, 3));
      }
    }
    if (rootPick != 255) root = chains[0][static_cast<size_t>(rootPick) % chains[0].size()];
    doc.SetUiRoot(root);
  }

  static size_t Pick(fuzz::Input& in, size_t count) {
    return static_cast<size_t>(in.Take<uint8_t>()) % count;
  }

  // The item slots a node was made with.
  int SlotsOf(const UiNode* n) const { return slots[IndexOf(n)]; }

  void Name(UiNode* n, fuzz::Input& in) {
    for (int place = 0; place < 3; ++place) {
      if (in.Byte(0, 2) == 0) continue;
      std::string text;
      if (in.Byte(0, 3) == 0) {
        const int len = in.Byte(0, 24);
        for (int i = 0; i < len; ++i) text.push_back(static_cast<char>(in.Take<uint8_t>()));
      } else {
        text = kNames[in.Byte(0, 9)];
      }
      const int32_t length = in.Byte(0, 3) == 0 ? in.Byte(-2, 40) : -1;
      if (place == 0) tree.SetTitle(n, text, length);
      if (place == 1) tree.SetAltTitle(n, text, length);
      if (place == 2) tree.SetLabel(n, text, length);
    }
  }

  int IndexOf(const UiNode* n) const {
    if (n == nullptr) return -1;
    auto it = index.find(n);
    if (it == index.end()) __builtin_trap();  // a link to a node not in the tree
    return it->second;
  }

  // Links as node indices, comparable between two builds.
  std::vector<int> Picture() const {
    std::vector<int> out;
    for (const auto& l : tree.Snapshot()) {
      out.push_back(IndexOf(l.parent));
      out.push_back(IndexOf(l.firstChild));
      out.push_back(IndexOf(l.nextSibling));
      out.push_back(IndexOf(l.prevSibling));
    }
    return out;
  }

  hostsim::SimContext Context() {
    hostsim::SimContext ctx;
    if (hasDocument) ctx.SetSlot(2, doc.record());
    return ctx;
  }
};

void ReferenceOrder(UiNode* n, std::vector<UiNode*>* out) {
  if (UiNode* child = host::NodeFirstChild(n)) ReferenceOrder(child, out);
  out->push_back(n);
  if (UiNode* next = host::NodeNextSibling(n)) ReferenceOrder(next, out);
  const host::UiDescriptor* d = host::NodeDescriptor(n);
  if (d != nullptr && host::DescriptorKind(d) == 1007) {
    for (int32_t i = 0; i < host::NodeItemCount(n); ++i) {
      UiNode* e = host::NodeItem(n, i);
      if (e != nullptr && host::NodeParent(e) == nullptr) ReferenceOrder(e, out);
    }
  }
}

UiNode* FirstCarrying(const std::vector<UiNode*>& order, const char* name) {
  for (UiNode* n : order) {
    if (UiNodeHasName(n, name)) return n;
  }
  return nullptr;
}

// The item's own subtree and item lists: what moves along with it.
bool Contains(UiNode* item, UiNode* target) {
  if (item == target) return true;
  std::vector<UiNode*> below;
  if (UiNode* child = host::NodeFirstChild(item)) ReferenceOrder(child, &below);
  const host::UiDescriptor* d = host::NodeDescriptor(item);
  if (d != nullptr && host::DescriptorKind(d) == 1007) {
    for (int32_t i = 0; i < host::NodeItemCount(item); ++i) {
      UiNode* e = host::NodeItem(item, i);
      if (e != nullptr && host::NodeParent(e) == nullptr) ReferenceOrder(e, &below);
    }
  }
  for (UiNode* n : below) {
    if (n == target) return true;
  }
  return false;
}

void CheckLinks(const FuzzTree& t) {
  for (const UiNode* n : t.tree.nodes()) {
    UiNode* next = host::NodeNextSibling(n);
    UiNode* prev = host::NodePrevSibling(n);
    if (next != nullptr && host::NodePrevSibling(next) != n) __builtin_trap();
    if (prev != nullptr && host::NodeNextSibling(prev) != n) __builtin_trap();
    if (next != nullptr && host::NodeParent(next) != host::NodeParent(n)) __builtin_trap();
    if (UiNode* child = host::NodeFirstChild(n)) {
      if (host::NodePrevSibling(child) != nullptr) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first byte picks an allocation to fail (0: none); the rest builds the tree.
  const int failAt = data[0] % 4 == 0 ? data[0] / 4 : 0;
  fuzz::Input shape(data + 1, size - 1);

  FuzzTree plain(shape);
  std::vector<UiNode*> order;
  if (plain.root != nullptr) ReferenceOrder(UiTopNode(plain.root), &order);
  UiNode* anchor = FirstCarrying(order, "SaveDocumentAs");
  UiNode* item = FirstCarrying(order, "KEditLinkDocument");
  const bool moves = plain.hasDocument && anchor != nullptr && item != nullptr &&
                     !Contains(item, anchor);
  const std::vector<int> before = plain.Picture();

  hostsim::SimContext ctx = plain.Context();
  const int requests = seams::AllocationRequests();
  KelvraDLL_SetUI(nullptr, 0, nullptr, 0, nullptr, 0, ctx.table());
  fuzz::CheckNothingOutstanding();
  if (seams::AllocationRequests() > requests) fuzz::Note("walk stack grew");
  fuzz::Note(moves ? "item moved" : anchor && item ? "both found, move refused" : "not moved");
  CheckLinks(plain);
  const std::vector<int> after = plain.Picture();
  if (moves) {
    if (host::NodeNextSibling(anchor) != item || host::NodePrevSibling(item) != anchor ||
        host::NodeParent(item) != host::NodeParent(anchor)) {
      __builtin_trap();
    }
  } else if (after != before) {
    __builtin_trap();
  }

  if (failAt > 0) {
    FuzzTree failing(shape);
    hostsim::SimContext ctx2 = failing.Context();
    seams::FailNthAllocation(failAt);
    KelvraDLL_SetUI(nullptr, 0, nullptr, 0, nullptr, 0, ctx2.table());
    seams::FailNthAllocation(0);
    fuzz::CheckNothingOutstanding();
    CheckLinks(failing);
    const std::vector<int> got = failing.Picture();
    if (got != before && got != after) __builtin_trap();
  }
  seams::ResetAll();
  return 0;
}
