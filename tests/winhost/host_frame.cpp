// Host scenarios of the common frame: the setters as the host sees them
// (through the arguments of make map), and the map object's lifecycle.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "tests/winhost/check.h"
#include "tests/winhost/host_dll.h"

namespace kelvra::wintest {
namespace {

using hostsim::SimContext;
using hostsim::SimMapSource;

float Set(ExportFn fn, double value) {
  CallArgs a;
  a.value = value;
  return Call(fn, a);
}

float WithContext(ExportFn fn, SimContext& ctx) {
  CallArgs a;
  a.context = ctx.table();
  return Call(fn, a);
}

bool NoViolations() {
  for (const std::string& v : hostsim::ContractViolations()) {
    std::printf("  host contract: %s\n", v.c_str());
  }
  bool ok = hostsim::ContractViolations().empty();
  hostsim::ClearContractViolations();
  return ok;
}

WT_SCENARIO(frame_1_make_map_before_any_setter_passes_zeros) {
  const Dll& dll = TheDll();
  SimMapSource source;
  SimContext ctx;
  ctx.SetSlot(4, source.record());
  WT_CHECK_EQ(WithContext(dll.MakeMap, ctx), 0.0f);
  WT_CHECK(source.makeCalls.size() == 1);
  WT_CHECK(source.makeCalls[0].args == std::vector<int32_t>(8, 0));
  WT_CHECK(source.makeCalls[0].pointerArg == nullptr);
  WT_CHECK_EQ(WithContext(dll.DeleteMap, ctx), 0.0f);
  WT_CHECK(source.made[0]->destroyed);
  WT_CHECK(NoViolations());
}

WT_SCENARIO(frame_2_setter_rules_reach_make_map) {
  const Dll& dll = TheDll();
  SimMapSource source;
  SimContext ctx;
  ctx.SetSlot(4, source.record());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  WT_CHECK_EQ(Set(dll.rayTraceMode, nan), 0.0f);
  WT_CHECK_EQ(Set(dll.smoothUV, -0.0), 0.0f);
  WT_CHECK_EQ(Set(dll.imageWidth, 2.9), 0.0f);
  WT_CHECK_EQ(Set(dll.imageHeight, -2.9), 0.0f);
  WT_CHECK_EQ(Set(dll.smooth, 0.5), 0.0f);
  WT_CHECK_EQ(Set(dll.accuracy, -3.7), 0.0f);
  WT_CHECK_EQ(Set(dll.borderSize, 1e-9), 0.0f);
  WT_CHECK_EQ(Set(dll.optTileIndex, 5e9), 0.0f);
  WT_CHECK_EQ(WithContext(dll.MakeMap, ctx), 0.0f);
  WT_CHECK(source.makeCalls.size() == 1);
  WT_CHECK(source.makeCalls[0].args ==
           (std::vector<int32_t>{1, 0, 2, -2, 1, -3, 0, 2147483647}));
  Set(dll.optTileIndex, nan);
  Set(dll.imageWidth, -1e12);
  WT_CHECK_EQ(WithContext(dll.MakeMap, ctx), 0.0f);
  WT_CHECK(source.makeCalls.size() == 2);
  WT_CHECK_EQ(source.makeCalls[1].args[7], 0);
  WT_CHECK_EQ(source.makeCalls[1].args[2], INT32_MIN);
  // Two make maps: the first map is destroyed before the second is asked for.
  WT_CHECK(source.events == (std::vector<std::string>{"make", "destroy#0", "make"}));
  WithContext(dll.DeleteMap, ctx);
  // Back to defaults for later scenarios.
  for (ExportFn fn : {dll.rayTraceMode, dll.smoothUV, dll.imageWidth,
                      dll.imageHeight, dll.smooth, dll.accuracy,
                      dll.borderSize, dll.optTileIndex}) {
    Set(fn, 0.0);
  }
  WT_CHECK(NoViolations());
}

WT_SCENARIO(frame_3_make_map_failures_and_delete_twice) {
  const Dll& dll = TheDll();
  SimMapSource source;
  SimContext ctx;
  ctx.SetSlot(4, source.record());
  SimContext noSource;
  WT_CHECK_EQ(WithContext(dll.MakeMap, ctx), 0.0f);
  WT_CHECK_EQ(WithContext(dll.MakeMap, noSource), -1.0f);
  WT_CHECK(!source.made[0]->destroyed);  // slot 4 null keeps the map
  source.returnNull = true;
  WT_CHECK_EQ(WithContext(dll.MakeMap, ctx), -1.0f);
  WT_CHECK(source.made[0]->destroyed);   // destroyed before asking again
  WT_CHECK_EQ(WithContext(dll.DeleteMap, ctx), 0.0f);  // nothing left to destroy
  source.returnNull = false;
  WT_CHECK_EQ(WithContext(dll.MakeMap, ctx), 0.0f);
  WT_CHECK_EQ(WithContext(dll.DeleteMap, ctx), 0.0f);
  WT_CHECK_EQ(WithContext(dll.DeleteMap, ctx), 0.0f);
  WT_CHECK(source.made.size() == 2);
  WT_CHECK(source.made[1]->destroyCalls.size() == 1);
  WT_CHECK(NoViolations());
}

WT_SCENARIO(frame_4_text_setters_and_placeholders) {
  const Dll& dll = TheDll();
  std::string longText(3000, 'w');
  CallArgs a;
  a.text = longText.c_str();
  WT_CHECK_EQ(Call(dll.filename, a), 0.0f);
  WT_CHECK_EQ(Call(dll.SetEditLinkPath, a), 0.0f);
  a.text = nullptr;
  WT_CHECK_EQ(Call(dll.filename, a), 0.0f);
  WT_CHECK_EQ(Call(dll.SetEditLinkPath, a), 0.0f);
  WT_CHECK_EQ(Call(dll.ReleaseMemory, a), 0.0f);
}

WT_SCENARIO(frame_5_host_sse_state_is_restored) {
  // A host that runs with flush-to-zero and rounding toward zero gets its
  // MXCSR back unchanged from every export.
  const Dll& dll = TheDll();
  unsigned int odd = 0x7F80, saved = 0, after = 0;
  __asm__ volatile("stmxcsr %0" : "=m"(saved));
  __asm__ volatile("ldmxcsr %0" : : "m"(odd));
  Set(dll.smooth, 0.0);
  CallArgs a;
  a.value = 1000;  // a command number no command uses
  SimContext ctx;
  a.context = ctx.table();
  Call(dll.Do, a);
  __asm__ volatile("stmxcsr %0" : "=m"(after));
  __asm__ volatile("ldmxcsr %0" : : "m"(saved));
  WT_CHECK_EQ(after, odd);
}

}  // namespace
}  // namespace kelvra::wintest
