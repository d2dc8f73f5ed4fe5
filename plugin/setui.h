// Interface item placement: the search of the host's interface tree by name
// and the relinking of one node after another.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kelvra {

// Called for each node in search order; returning true ends the walk there.
using UiVisitor = bool (*)(host::UiNode* node, void* context);

struct UiWalkResult {
  host::UiNode* stoppedAt;  // the node the visitor stopped at, or null
  bool complete;            // false when the walk ran out of memory
};

// Visits the nodes reachable from `start` depth-first: the first child's
// search, then the node itself, then the next sibling's search, then (for a
// node whose descriptor has kind 1007) the search of each `items` entry that
// has no parent. The walk keeps its pending nodes in a heap stack rather than
// on the call stack, so long sibling chains and deep trees cannot overflow it.
UiWalkResult WalkUiNodes(host::UiNode* start, UiVisitor visit, void* context);

// True when one of the node's names (descriptor title, descriptor altTitle,
// label; texts of length 4 or more) starts with `name`, blanks ignored.
bool UiNodeHasName(const host::UiNode* node, const char* name);

// The first node in search order from `start` that carries `name`, or null.
host::UiNode* FindUiNode(host::UiNode* start, const char* name);

// The first node of the top-level sibling chain above `node`.
host::UiNode* UiTopNode(host::UiNode* node);

// Unlinks `item` (with its children) and links it directly after `anchor`.
void MoveUiNodeAfter(host::UiNode* item, host::UiNode* anchor);

}  // namespace kelvra
