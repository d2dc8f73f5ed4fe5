// SetUI: moves the host's editor-link item so that it stands directly after
// its save-as item. Only links between existing nodes change.
#include "plugin/setui.h"

#include "plugin/entry_points.h"
#include "services/services.h"

namespace kelvra {

using host::UiNode;

namespace {

constexpr char kAnchorName[] = "SaveDocumentAs";
constexpr char kItemName[] = "KEditLinkDocument";
constexpr int32_t kMinNameLength = 4;

// A node waiting on the walk's stack: either its own names are still to be
// tested (its first child's search is running), or its `items` are to be
// searched from entry `next` on (its next sibling's search is running).
struct PendingNode {
  UiNode* node;
  int32_t next;  // kNamesPending, or the next entry of `items`
};
constexpr int32_t kNamesPending = -1;

// A stack that starts in place and grows on the plain heap. A failed growth
// is remembered; the walk then gives up.
class PendingStack {
 public:
  PendingStack() = default;
  PendingStack(const PendingStack&) = delete;
  PendingStack& operator=(const PendingStack&) = delete;
  ~PendingStack() {
    if (frames_ != inPlace_) PlainFree(frames_);
  }

  bool Push(PendingNode frame) {
    if (size_ == capacity_ && !Grow()) return false;
    frames_[size_++] = frame;
    return true;
  }
  bool Empty() const { return size_ == 0; }
  PendingNode& Top() { return frames_[size_ - 1]; }
  void Pop() { --size_; }

 private:
  bool Grow() {
    const uint32_t bigger = capacity_ * 2;
    void* block = PlainAlloc(SizeMul(bigger, sizeof(PendingNode)));
    if (block == nullptr) return false;
    MemCopy(block, frames_, size_ * sizeof(PendingNode));
    if (frames_ != inPlace_) PlainFree(frames_);
    frames_ = static_cast<PendingNode*>(block);
    capacity_ = bigger;
    return true;
  }

  static constexpr uint32_t kInPlace = 64;
  PendingNode inPlace_[kInPlace];
  PendingNode* frames_ = inPlace_;
  uint32_t size_ = 0;
  uint32_t capacity_ = kInPlace;
};

bool HasItemsToSearch(const UiNode* node) {
  const host::UiDescriptor* d = host::NodeDescriptor(node);
  return d != nullptr && host::DescriptorKind(d) == host::ui::kKindItemList &&
         host::NodeItemCount(node) > 0;
}

bool TextHasName(const host::UiText* text, const char* name) {
  return text != nullptr && host::TextLength(text) >= kMinNameLength &&
         NameMatch(name, host::TextChars(text), true, false) != nullptr;
}

bool VisitIsName(UiNode* node, void* name) {
  return UiNodeHasName(node, static_cast<const char*>(name));
}

bool VisitIsNode(UiNode* node, void* target) { return node == target; }

// True when `target` lies in what moves along with `item`: the item itself,
// its children's searches and its own `items`. A walk that runs out of memory
// counts as containing, so that nothing is relinked on a guess.
bool MovesWith(UiNode* item, UiNode* target) {
  if (item == target) return true;
  if (UiNode* child = host::NodeFirstChild(item)) {
    UiWalkResult r = WalkUiNodes(child, VisitIsNode, target);
    if (!r.complete || r.stoppedAt != nullptr) return true;
  }
  if (HasItemsToSearch(item)) {
    const int32_t count = host::NodeItemCount(item);
    for (int32_t i = 0; i < count; ++i) {
      UiNode* entry = host::NodeItem(item, i);
      if (entry == nullptr || host::NodeParent(entry) != nullptr) continue;
      UiWalkResult r = WalkUiNodes(entry, VisitIsNode, target);
      if (!r.complete || r.stoppedAt != nullptr) return true;
    }
  }
  return false;
}

}  // namespace

bool UiNodeHasName(const UiNode* node, const char* name) {
  if (const host::UiDescriptor* d = host::NodeDescriptor(node)) {
    if (TextHasName(host::DescriptorTitle(d), name)) return true;
    if (TextHasName(host::DescriptorAltTitle(d), name)) return true;
  }
  return TextHasName(host::NodeLabel(node), name);
}

UiWalkResult WalkUiNodes(UiNode* start, UiVisitor visit, void* context) {
  PendingStack stack;
  UiNode* enter = start;  // the node whose search begins next, if any
  for (;;) {
    UiNode* named = nullptr;  // the node whose names are tested now, if any
    if (enter != nullptr) {
      UiNode* node = enter;
      enter = nullptr;
      if (UiNode* child = host::NodeFirstChild(node)) {
        // The child's whole search comes before the node's own names.
        if (!stack.Push({node, kNamesPending})) return {nullptr, false};
        enter = child;
        continue;
      }
      named = node;
    } else {
      if (stack.Empty()) return {nullptr, true};
      PendingNode& top = stack.Top();
      if (top.next == kNamesPending) {
        named = top.node;
        stack.Pop();
      } else {
        // Entries with a parent are linked into the tree elsewhere.
        const int32_t count = host::NodeItemCount(top.node);
        while (top.next < count) {
          UiNode* entry = host::NodeItem(top.node, top.next);
          if (entry != nullptr && host::NodeParent(entry) == nullptr) break;
          ++top.next;
        }
        if (top.next >= count) {
          stack.Pop();
        } else {
          enter = host::NodeItem(top.node, top.next++);
        }
        continue;
      }
    }
    if (visit(named, context)) return {named, true};
    // Every later sibling's search comes before this node's items. A node
    // without items leaves nothing behind, so plain sibling chains of any
    // length take no stack.
    if (HasItemsToSearch(named) && !stack.Push({named, 0})) return {nullptr, false};
    enter = host::NodeNextSibling(named);
  }
}

UiNode* FindUiNode(UiNode* start, const char* name) {
  if (start == nullptr) return nullptr;
  return WalkUiNodes(start, VisitIsName, const_cast<char*>(name)).stoppedAt;
}

UiNode* UiTopNode(UiNode* node) {
  for (;;) {
    if (UiNode* parent = host::NodeParent(node)) {
      node = parent;
    } else if (UiNode* prev = host::NodePrevSibling(node)) {
      node = prev;
    } else {
      return node;
    }
  }
}

void MoveUiNodeAfter(UiNode* item, UiNode* anchor) {
  UiNode* prev = host::NodePrevSibling(item);
  UiNode* next = host::NodeNextSibling(item);
  UiNode* parent = host::NodeParent(item);
  if (prev != nullptr) host::SetNodeNextSibling(prev, next);
  if (next != nullptr) host::SetNodePrevSibling(next, prev);
  if (parent != nullptr && host::NodeFirstChild(parent) == item) {
    host::SetNodeFirstChild(parent, next);
  }

  UiNode* after = host::NodeNextSibling(anchor);
  host::SetNodeNextSibling(item, after);
  host::SetNodePrevSibling(item, anchor);
  host::SetNodeParent(item, host::NodeParent(anchor));
  if (after != nullptr) host::SetNodePrevSibling(after, item);
  host::SetNodeNextSibling(anchor, item);
}

int32_t RunSetUI(host::HostContext context) {
  if (context == nullptr) return 0;
  host::HostDocument* doc = host::ContextDocument(context);
  if (doc == nullptr) return 0;
  UiNode* root = host::DocumentUiRoot(doc);
  if (root == nullptr) return 0;
  UiNode* top = UiTopNode(root);
  UiNode* anchor = FindUiNode(top, kAnchorName);
  UiNode* item = FindUiNode(top, kItemName);
  if (anchor == nullptr || item == nullptr) return 0;
  // One node with both names, or an anchor inside the item: relinking would
  // tie the item to itself.
  if (MovesWith(item, anchor)) return 0;
  MoveUiNodeAfter(item, anchor);
  return 0;
}

}  // namespace kelvra
