// Interface item placement: the search order against a recursive reference on
// random trees, trees far longer and deeper than any call stack holds, and
// SetUI's relinking through the export.
#include <pthread.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "hostsim/ui_tree.h"
#include "plugin/exports.h"
#include "plugin/setui.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using hostsim::SimUiTree;
using host::UiNode;

// The search order written as the plain recursion it is defined by.
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

bool RecordVisit(UiNode* node, void* out) {
  static_cast<std::vector<UiNode*>*>(out)->push_back(node);
  return false;
}

std::vector<UiNode*> WalkOrder(UiNode* start) {
  std::vector<UiNode*> order;
  UiWalkResult r = WalkUiNodes(start, RecordVisit, &order);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.stoppedAt, nullptr);
  return order;
}

const char* const kNamePool[] = {"Alpha", "Bravo", "Charlie", "Delta", "Echo"};

// A random forest: chain 0 is the tree searched; nodes of kind 1007 list, in
// their items, starts of later chains (searched), nodes linked anywhere
// (skipped), and now and then a null entry or a negative count. Items only
// point forward in chain order, so the graph has no cycle. Each node gets
// names in random places; `names` records the ones long enough to count.
struct RandomTree {
  SimUiTree tree;
  std::vector<UiNode*> chainStarts;
  std::map<const UiNode*, std::vector<std::string>> names;

  explicit RandomTree(std::mt19937& rng) {
    const int chains = 1 + static_cast<int>(rng() % 5);
    std::vector<std::vector<UiNode*>> members(chains);
    for (int c = 0; c < chains; ++c) {
      const int count = 1 + static_cast<int>(rng() % 40);
      for (int i = 0; i < count; ++i) {
        UiNode* n = tree.AddNode(6);
        if (i == 0) {
          chainStarts.push_back(n);
        } else {
          UiNode* other = members[c][rng() % members[c].size()];
          // A child of another node, or a sibling after it; the chain start
          // stays the first node of its top-level chain.
          if (rng() % 2 == 0 || other == chainStarts[c]) {
            tree.AppendChild(other, n);
          } else {
            tree.AppendSibling(other, n);
          }
        }
        members[c].push_back(n);
        Name(n, rng);
      }
    }
    for (int c = 0; c < chains; ++c) {
      for (UiNode* n : members[c]) {
        if (rng() % 4 != 0) continue;
        tree.SetKind(n, rng() % 5 == 0 ? 1006 : 1007);
        std::vector<UiNode*> items;
        const int count = static_cast<int>(rng() % 5);
        for (int i = 0; i < count; ++i) {
          const int pick = static_cast<int>(rng() % 4);
          if (pick == 0 && c + 1 < chains) {
            items.push_back(chainStarts[c + 1 + rng() % (chains - c - 1)]);
          } else if (pick == 1 || pick == 2) {
            const auto& from = members[rng() % chains];
            UiNode* linked = from[rng() % from.size()];
            if (host::NodeParent(linked) != nullptr) items.push_back(linked);
          } else if (rng() % 8 == 0) {
            items.push_back(nullptr);
          }
        }
        tree.SetItems(n, items);
        if (rng() % 10 == 0) tree.SetItemCount(n, -1);
      }
    }
  }

  void Name(UiNode* n, std::mt19937& rng) {
    for (int place = 0; place < 3; ++place) {
      if (rng() % 3 != 0) continue;
      const std::string name = kNamePool[rng() % 5];
      const bool counts = rng() % 6 != 0;
      const int32_t length = counts ? static_cast<int32_t>(name.size()) : 3;
      if (place == 0) tree.SetTitle(n, std::string(" ").append(name), length);
      if (place == 1) tree.SetAltTitle(n, name, length);
      if (place == 2) tree.SetLabel(n, std::string(name).append(" More"), length);
      if (counts) names[n].push_back(name);
    }
  }

  bool Carries(const UiNode* n, const std::string& name) const {
    auto it = names.find(n);
    if (it == names.end()) return false;
    for (const std::string& s : it->second) {
      if (s == name) return true;
    }
    return false;
  }
};

class SetUiTest : public testing::KelvraTest {};

TEST_F(SetUiTest, WalkOrderAndFirstMatchEqualTheRecursiveDefinition) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 400; ++round) {
    RandomTree t(rng);
    UiNode* start = t.chainStarts[0];
    std::vector<UiNode*> expected;
    ReferenceOrder(start, &expected);
    ASSERT_EQ(WalkOrder(start), expected) << "round " << round;
    for (const char* name : kNamePool) {
      UiNode* first = nullptr;
      for (UiNode* n : expected) {
        if (t.Carries(n, name)) {
          first = n;
          break;
        }
      }
      ASSERT_EQ(FindUiNode(start, name), first)
          << "round " << round << " name " << name << ": found "
          << t.tree.NameOf(FindUiNode(start, name));
    }
  }
}

TEST_F(SetUiTest, NamesMatchLooselyFromTheStartOfLongEnoughTexts) {
  struct Case {
    const char* text;
    int32_t length;
    bool found;
  };
  const Case cases[] = {
      {"Save Document As", -1, true},    {"  SaveDocumentAs  ", -1, true},
      {"SaveDocumentAsCopy", -1, true},  {"saveDocumentAs", -1, false},
      {"SaveDocument", -1, false},       {"SaveDocumentAs", 3, false},
      {"SaveDocumentAs", 4, true},       {"XSaveDocumentAs", -1, false}};
  for (int place = 0; place < 3; ++place) {
    for (const Case& c : cases) {
      SimUiTree tree;
      UiNode* n = tree.AddNode();
      if (place == 0) tree.SetTitle(n, c.text, c.length);
      if (place == 1) tree.SetAltTitle(n, c.text, c.length);
      if (place == 2) tree.SetLabel(n, c.text, c.length);
      EXPECT_EQ(FindUiNode(n, "SaveDocumentAs") == n, c.found)
          << "place " << place << " text '" << c.text << "'";
    }
  }
}

// Runs `fn` on a thread with a 256 KiB stack: a search that recursed along a
// chain of 100,000 nodes would need megabytes and crash here.
template <typename Fn>
void OnSmallStack(Fn fn) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr,
                           [](void* f) -> void* {
                             (*static_cast<Fn*>(f))();
                             return nullptr;
                           },
                           &fn),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST_F(SetUiTest, HundredThousandSiblingsAndNodesDeepNeedNoCallStack) {
  constexpr int kCount = 100000;
  struct Shape {
    const char* what;
    bool nested;     // a firstChild chain instead of a sibling chain
    bool withItems;  // every node also lists one item, so each waits on the stack
  };
  for (const Shape& shape : {Shape{"siblings", false, false},
                             Shape{"siblings with items", false, true},
                             Shape{"nested", true, false}}) {
    SimUiTree tree;
    std::vector<UiNode*> chain;
    for (int i = 0; i < kCount; ++i) {
      UiNode* n = tree.AddNode(1);
      if (i > 0) {
        if (shape.nested) {
          tree.AppendChild(chain.back(), n);
        } else {
          tree.AppendSibling(chain.back(), n);
        }
      }
      chain.push_back(n);
    }
    tree.SetLabel(chain[kCount - 1], "SaveDocumentAs");
    UiNode* listed = tree.AddLabelled("KEditLinkDocument");
    if (shape.withItems) {
      // The first node lists the item; every other node lists a node that has
      // a parent, which the search skips, but each still waits on the stack
      // until the chain after it has been searched.
      UiNode* holder = tree.AddNode();
      UiNode* linked = tree.AddNode();
      tree.AppendChild(holder, linked);
      for (int i = 0; i < kCount; ++i) {
        tree.SetKind(chain[i], 1007);
        tree.SetItems(chain[i], {i == 0 ? listed : linked});
      }
    }
    UiNode* anchor = nullptr;
    UiNode* item = nullptr;
    size_t visited = 0;
    OnSmallStack([&] {
      anchor = FindUiNode(chain[0], "SaveDocumentAs");
      item = FindUiNode(chain[0], "KEditLinkDocument");
      std::vector<UiNode*> order;
      WalkUiNodes(chain[0], RecordVisit, &order);
      visited = order.size();
    });
    EXPECT_EQ(anchor, chain[kCount - 1]) << shape.what;
    EXPECT_EQ(item, shape.withItems ? listed : nullptr) << shape.what;
    EXPECT_EQ(visited, static_cast<size_t>(shape.withItems ? kCount + 1 : kCount))
        << shape.what;
  }
}

TEST_F(SetUiTest, WalkThatRunsOutOfMemoryEndsWithoutAResult) {
  SimUiTree tree;
  UiNode* top = tree.AddNode();
  UiNode* deepest = top;
  for (int i = 0; i < 1000; ++i) {
    UiNode* n = tree.AddNode();
    tree.AppendChild(deepest, n);
    deepest = n;
  }
  tree.SetLabel(top, "SaveDocumentAs");
  seams::FailAllAllocations(true);
  UiWalkResult r = WalkUiNodes(top, RecordVisit, nullptr);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(FindUiNode(top, "SaveDocumentAs"), nullptr);
  seams::FailAllAllocations(false);
  EXPECT_EQ(FindUiNode(top, "SaveDocumentAs"), top);
}

// ---- SetUI through the export ----------------------------------------------------

float SetUI(hostsim::SimContext& ctx) {
  return KelvraDLL_SetUI(nullptr, 0.0, nullptr, 0, nullptr, 0, ctx.table());
}

// The document with a typical menu: File { New, Open, SaveDocumentAs, Close },
// Tools { KEditLinkDocument, Options }, with the UI root somewhere inside.
struct Menu {
  SimUiTree tree;
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  UiNode *file, *tools, *open, *saveAs, *close, *editLink, *options;
  Menu() {
    file = tree.AddLabelled("File");
    tools = tree.AddLabelled("Tools");
    tree.AppendSibling(file, tools);
    UiNode* fresh = tree.AddLabelled("New Document");
    open = tree.AddLabelled("Open Document");
    saveAs = tree.AddLabelled("Save Document As");
    close = tree.AddLabelled("Close Document");
    for (UiNode* n : {fresh, open, saveAs, close}) tree.AppendChild(file, n);
    editLink = tree.AddLabelled("KEditLinkDocument");
    options = tree.AddLabelled("Options");
    tree.AppendChild(tools, editLink);
    tree.AppendChild(tools, options);
    doc.SetUiRoot(options);
    ctx.SetSlot(2, doc.record());
  }
  std::vector<UiNode*> Children(UiNode* parent) const {
    std::vector<UiNode*> out;
    for (UiNode* n = host::NodeFirstChild(parent); n; n = host::NodeNextSibling(n)) {
      EXPECT_EQ(host::NodeParent(n), parent);
      if (host::NodeNextSibling(n)) EXPECT_EQ(host::NodePrevSibling(host::NodeNextSibling(n)), n);
      out.push_back(n);
    }
    return out;
  }
};

TEST_F(SetUiTest, MovesTheEditLinkItemAfterSaveAsAndIsIdempotent) {
  Menu m;
  const std::vector<UiNode*> fileBefore = m.Children(m.file);
  EXPECT_EQ(SetUI(m.ctx), 0.0f);
  EXPECT_EQ(m.Children(m.file),
            (std::vector<UiNode*>{fileBefore[0], m.open, m.saveAs, m.editLink, m.close}));
  // The item was its parent's first child: the parent now starts at its
  // former next sibling.
  EXPECT_EQ(host::NodeFirstChild(m.tools), m.options);
  EXPECT_EQ(host::NodePrevSibling(m.options), nullptr);
  EXPECT_EQ(m.Children(m.tools), std::vector<UiNode*>{m.options});
  const auto once = m.tree.Snapshot();
  EXPECT_EQ(SetUI(m.ctx), 0.0f);
  EXPECT_EQ(m.tree.Snapshot(), once);
}

TEST_F(SetUiTest, ItemKeepsItsChildrenAndCanComeFromAnItemList) {
  Menu m;
  UiNode* sub = m.tree.AddLabelled("Sub entry");
  m.tree.AppendChild(m.editLink, sub);
  EXPECT_EQ(SetUI(m.ctx), 0.0f);
  EXPECT_EQ(host::NodeFirstChild(m.editLink), sub);
  EXPECT_EQ(host::NodeParent(sub), m.editLink);

  // An item list: Options lists an unparented "KEditLinkDocument" node.
  Menu l;
  l.tree.SetLabel(l.editLink, "Edit Link (old)");
  UiNode* listed = l.tree.AddLabelled("KEditLinkDocument");
  l.tree.SetKind(l.options, 1007);
  l.tree.AddNode();  // unrelated
  SimUiTree& t = l.tree;
  UiNode* holder = t.AddNode(2);
  t.AppendSibling(l.options, holder);
  t.SetKind(holder, 1007);
  t.SetItems(holder, {l.open /* linked elsewhere: skipped */, listed});
  EXPECT_EQ(SetUI(l.ctx), 0.0f);
  EXPECT_EQ(host::NodeNextSibling(l.saveAs), listed);
  EXPECT_EQ(host::NodeParent(listed), l.file);
  EXPECT_EQ(host::NodePrevSibling(l.close), listed);
}

TEST_F(SetUiTest, CasesThatLeaveTheTreeUntouched) {
  struct Case {
    const char* what;
    void (*arrange)(Menu&);
  };
  const Case cases[] = {
      {"no anchor", [](Menu& m) { m.tree.SetLabel(m.saveAs, "Save Copy"); }},
      {"no item", [](Menu& m) { m.tree.SetLabel(m.editLink, "Link"); }},
      {"anchor name too short",
       [](Menu& m) { m.tree.SetLabel(m.saveAs, "SaveDocumentAs", 3); }},
      {"one node carries both names",
       [](Menu& m) {
         m.tree.SetLabel(m.editLink, "Link");
         m.tree.SetTitle(m.saveAs, "KEditLinkDocument");
       }},
      {"the item contains the anchor",
       [](Menu& m) {
         UiNode* inner = m.tree.AddLabelled("SaveDocumentAs");
         m.tree.SetLabel(m.saveAs, "Save");
         m.tree.AppendChild(m.editLink, inner);
       }},
      {"the item lists the anchor",
       [](Menu& m) {
         UiNode* inner = m.tree.AddLabelled("SaveDocumentAs");
         m.tree.SetLabel(m.saveAs, "Save");
         UiNode* item = m.tree.AddLabelled("KEditLinkDocument", 1);
         m.tree.SetLabel(m.editLink, "Link");
         m.tree.AppendSibling(m.file, item);
         m.tree.SetKind(item, 1007);
         m.tree.SetItems(item, {inner});
       }},
      {"no UI root", [](Menu& m) { m.doc.SetUiRoot(nullptr); }},
      {"no document", [](Menu& m) { m.ctx.SetSlot(2, nullptr); }},
  };
  for (const Case& c : cases) {
    Menu m;
    c.arrange(m);
    const auto before = m.tree.Snapshot();
    EXPECT_EQ(SetUI(m.ctx), 0.0f) << c.what;
    EXPECT_EQ(m.tree.Snapshot(), before) << c.what;
  }
  EXPECT_EQ(KelvraDLL_SetUI(nullptr, 0.0, nullptr, 0, nullptr, 0, nullptr), 0.0f);
}

TEST_F(SetUiTest, TopOfTreeIsFoundThroughParentsAndPreviousSiblings) {
  // Top level: A { a1 }, B { b1 { b11 } }, C; the root is b11. The anchor is
  // under A, so the search must start at A, not at B or b1's chain.
  SimUiTree tree;
  UiNode* a = tree.AddLabelled("Alpha");
  UiNode* b = tree.AddLabelled("Bravo");
  UiNode* c = tree.AddLabelled("KEditLinkDocument");
  tree.AppendSibling(a, b);
  tree.AppendSibling(b, c);
  UiNode* a1 = tree.AddLabelled("SaveDocumentAs");
  tree.AppendChild(a, a1);
  UiNode* b1 = tree.AddLabelled("Bravo one");
  tree.AppendChild(b, b1);
  UiNode* b11 = tree.AddLabelled("Bravo one one");
  tree.AppendChild(b1, b11);
  EXPECT_EQ(UiTopNode(b11), a);
  hostsim::SimDocument doc;
  doc.SetUiRoot(b11);
  hostsim::SimContext ctx;
  ctx.SetSlot(2, doc.record());
  EXPECT_EQ(SetUI(ctx), 0.0f);
  EXPECT_EQ(host::NodeNextSibling(a1), c);
  EXPECT_EQ(host::NodeParent(c), a);
  EXPECT_EQ(host::NodeNextSibling(b), nullptr);
}

TEST_F(SetUiTest, MoveAfterTheAnchorItAlreadyFollowsChangesNothing) {
  SimUiTree tree;
  UiNode* p = tree.AddLabelled("Parent");
  UiNode* x = tree.AddLabelled("x");
  UiNode* y = tree.AddLabelled("y");
  UiNode* z = tree.AddLabelled("z");
  for (UiNode* n : {x, y, z}) tree.AppendChild(p, n);
  const auto before = tree.Snapshot();
  MoveUiNodeAfter(y, x);
  EXPECT_EQ(tree.Snapshot(), before);
  MoveUiNodeAfter(x, z);  // first child to the end
  EXPECT_EQ(host::NodeFirstChild(p), y);
  EXPECT_EQ(host::NodeNextSibling(z), x);
  EXPECT_EQ(host::NodePrevSibling(x), z);
  EXPECT_EQ(host::NodeNextSibling(x), nullptr);
  EXPECT_EQ(host::NodePrevSibling(y), nullptr);
}

}  // namespace
}  // namespace kelvra
