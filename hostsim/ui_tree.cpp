#include "hostsim/ui_tree.h"

#include <cstdlib>
#include <cstring>

namespace kelvra::hostsim {

using host::ReadField;
using host::UiNode;
using host::WriteField;

namespace {

uint8_t* Bytes(UiNode* node) { return reinterpret_cast<uint8_t*>(node); }

}  // namespace

UiNode* SimUiTree::AddNode(int itemSlots) {
  const size_t size = host::ui::kNodeRecordSize + 4u * static_cast<size_t>(itemSlots) + 4;
  blocks_.push_back(std::make_unique<uint8_t[]>(size));
  std::memset(blocks_.back().get(), 0, size);
  UiNode* node = reinterpret_cast<UiNode*>(blocks_.back().get());
  nodes_.push_back(node);
  itemSlots_[node] = itemSlots;
  return node;
}

UiNode* SimUiTree::AddLabelled(const std::string& label, int itemSlots) {
  UiNode* node = AddNode(itemSlots);
  SetLabel(node, label);
  return node;
}

host::UiText* SimUiTree::NewText(const std::string& text, int32_t length) {
  const size_t size = host::ui::kTextChars + text.size() + 1;
  blocks_.push_back(std::make_unique<uint8_t[]>(size));
  uint8_t* record = blocks_.back().get();
  std::memset(record, 0, size);
  WriteField(record, host::ui::kTextLength,
             length >= 0 ? length : static_cast<int32_t>(text.size()));
  std::memcpy(record + host::ui::kTextChars, text.c_str(), text.size() + 1);
  return reinterpret_cast<host::UiText*>(record);
}

host::UiDescriptor* SimUiTree::DescriptorOf(UiNode* node) {
  host::UiDescriptor* d = host::NodeDescriptor(node);
  if (d != nullptr) return d;
  blocks_.push_back(std::make_unique<uint8_t[]>(host::ui::kDescriptorRecordSize));
  std::memset(blocks_.back().get(), 0, host::ui::kDescriptorRecordSize);
  d = reinterpret_cast<host::UiDescriptor*>(blocks_.back().get());
  WriteField(Bytes(node), host::ui::kDescriptor, d);
  return d;
}

void SimUiTree::SetLabel(UiNode* node, const std::string& text, int32_t length) {
  WriteField(Bytes(node), host::ui::kLabel, NewText(text, length));
}

void SimUiTree::SetTitle(UiNode* node, const std::string& text, int32_t length) {
  WriteField(DescriptorOf(node), host::ui::kDescriptorTitle, NewText(text, length));
}

void SimUiTree::SetAltTitle(UiNode* node, const std::string& text, int32_t length) {
  WriteField(DescriptorOf(node), host::ui::kDescriptorAltTitle, NewText(text, length));
}

void SimUiTree::SetKind(UiNode* node, int16_t kind) {
  WriteField(DescriptorOf(node), host::ui::kDescriptorKind, kind);
}

void SimUiTree::SetItems(UiNode* node, const std::vector<UiNode*>& items) {
  // The record has room for the slots it was made with; more would write
  // past it.
  if (items.size() > static_cast<size_t>(itemSlots_.at(node))) std::abort();
  for (size_t i = 0; i < items.size(); ++i) {
    WriteField(Bytes(node), host::ui::kItems + 4u * static_cast<uint32_t>(i), items[i]);
  }
  SetItemCount(node, static_cast<int32_t>(items.size()));
}

void SimUiTree::SetItemCount(UiNode* node, int32_t count) {
  WriteField(Bytes(node), host::ui::kItemCount, count);
}

void SimUiTree::AppendChild(UiNode* parent, UiNode* child) {
  host::SetNodeParent(child, parent);
  UiNode* last = host::NodeFirstChild(parent);
  if (last == nullptr) {
    host::SetNodeFirstChild(parent, child);
    return;
  }
  while (host::NodeNextSibling(last) != nullptr) last = host::NodeNextSibling(last);
  host::SetNodeNextSibling(last, child);
  host::SetNodePrevSibling(child, last);
}

void SimUiTree::AppendSibling(UiNode* before, UiNode* node) {
  UiNode* after = host::NodeNextSibling(before);
  host::SetNodeParent(node, host::NodeParent(before));
  host::SetNodePrevSibling(node, before);
  host::SetNodeNextSibling(node, after);
  host::SetNodeNextSibling(before, node);
  if (after != nullptr) host::SetNodePrevSibling(after, node);
}

std::string SimUiTree::NameOf(const UiNode* node) const {
  if (node == nullptr) return "(none)";
  if (host::UiText* t = host::NodeLabel(node)) return host::TextChars(t);
  if (host::UiDescriptor* d = host::NodeDescriptor(node)) {
    if (host::UiText* t = host::DescriptorTitle(d)) return host::TextChars(t);
    if (host::UiText* t = host::DescriptorAltTitle(d)) return host::TextChars(t);
  }
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i] == node) return std::string("#").append(std::to_string(i));
  }
  return "(foreign)";
}

std::vector<SimUiTree::Links> SimUiTree::Snapshot() const {
  std::vector<Links> links;
  links.reserve(nodes_.size());
  for (const UiNode* n : nodes_) {
    links.push_back({host::NodeParent(n), host::NodeFirstChild(n),
                     host::NodeNextSibling(n), host::NodePrevSibling(n)});
  }
  return links;
}

}  // namespace kelvra::hostsim
