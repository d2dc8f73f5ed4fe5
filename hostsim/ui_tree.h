// A simulated host interface tree: UiNode, UiDescriptor and UiText records at
// the host's byte offsets, owned here and linked by the tests that build
// them. A node's `items` are an inline array starting at its offset 196.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/host.h"

namespace kelvra::hostsim {

class SimUiTree {
 public:
  SimUiTree() = default;
  SimUiTree(const SimUiTree&) = delete;
  SimUiTree& operator=(const SimUiTree&) = delete;

  // A new unlinked node with room for `itemSlots` entries in `items`.
  host::UiNode* AddNode(int itemSlots = 0);
  // A node with a label text (length field = the text's length unless given).
  host::UiNode* AddLabelled(const std::string& label, int itemSlots = 0);

  // Texts. A length of -1 stores the text's own length.
  void SetLabel(host::UiNode* node, const std::string& text, int32_t length = -1);
  void SetTitle(host::UiNode* node, const std::string& text, int32_t length = -1);
  void SetAltTitle(host::UiNode* node, const std::string& text, int32_t length = -1);
  // Gives the node a descriptor (if it has none) of this kind.
  void SetKind(host::UiNode* node, int16_t kind);
  // Fills `items` (within the slots the node was made with) and itemCount.
  void SetItems(host::UiNode* node, const std::vector<host::UiNode*>& items);
  void SetItemCount(host::UiNode* node, int32_t count);

  // Links `child` as the last child of `parent` (parent, firstChild and the
  // sibling links all consistent).
  void AppendChild(host::UiNode* parent, host::UiNode* child);
  // Links `node` directly after `before` in its sibling chain, same parent.
  void AppendSibling(host::UiNode* before, host::UiNode* node);

  const std::vector<host::UiNode*>& nodes() const { return nodes_; }
  // The first of label, title, altTitle that is set, for messages.
  std::string NameOf(const host::UiNode* node) const;

  // Every node's four links, in creation order: a picture of the tree to
  // compare before and after an operation.
  struct Links {
    const host::UiNode* parent;
    const host::UiNode* firstChild;
    const host::UiNode* nextSibling;
    const host::UiNode* prevSibling;
    bool operator==(const Links&) const = default;
  };
  std::vector<Links> Snapshot() const;

 private:
  host::UiText* NewText(const std::string& text, int32_t length);
  host::UiDescriptor* DescriptorOf(host::UiNode* node);

  std::vector<host::UiNode*> nodes_;
  std::unordered_map<const host::UiNode*, int> itemSlots_;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
};

}  // namespace kelvra::hostsim
