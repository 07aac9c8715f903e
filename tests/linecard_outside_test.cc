// The bridge's outside components: the packet engine found by name, and the
// flow manager hooked in through the bridge's setters.
#include "jxtest.h"

#include "linecard/engine.h"
#include "linecard/flowmgr.h"
#include "sources/jxbridge/jxbridge.h"

using namespace jxtest;

namespace {

class OutsideTest : public ModuleTest {
  protected:
    void TearDown() override {
        linecard_engine_remove();
        linecard_engine_clear();
        linecard_flowmgr_clear();
        ModuleTest::TearDown();
    }
};

TEST_F(OutsideTest, EngineIsFoundByNameOnlyWhilePresent) {
    EXPECT_EQ(jxbridge_symbol_get("tarnAPISetLAG"), nullptr);
    linecard_engine_install();
    auto set_lag = (int (*)(int, int, u32))jxbridge_symbol_get("tarnAPISetLAG");
    auto port_up = (int (*)(int))jxbridge_symbol_get("tarnAPISetLAGPortUP");
    auto api = (const char *(*)())jxbridge_symbol_get("tarnAPIGetAPIVersion");
    ASSERT_NE(set_lag, nullptr);
    ASSERT_NE(port_up, nullptr);
    ASSERT_NE(api, nullptr);

    EXPECT_EQ(set_lag(2, 1, 0x30), 0);
    linecard_engine_set_result("tarnAPISetLAGPortUP", -5);
    EXPECT_EQ(port_up(3), -5);
    linecard_engine_set_versions("api 9", "ucode 1");
    EXPECT_STREQ(api(), "api 9");
    linecard_engine_set_result("tarnAPIGetAPIVersion", -1);
    EXPECT_EQ(api(), nullptr);
    EXPECT_EQ(linecard_engine_calls(),
              (std::vector<std::string>{"tarnAPISetLAG(2, 1, 0x30)", "tarnAPISetLAGPortUP(3)",
                                        "tarnAPIGetAPIVersion()", "tarnAPIGetAPIVersion()"}));

    linecard_engine_remove();
    EXPECT_EQ(jxbridge_symbol_get("tarnAPISetLAG"), nullptr);
}

TEST_F(OutsideTest, FlowManagerHooksAreClearedByTheBridgeAtUnloadAndLoad) {
    ASSERT_GT(proc_write("/proc/net/jxbridge/config", "debug 1"), 0);
    ASSERT_EQ(linecard_flowmgr_install(), 0);
    ASSERT_NE(jxbridge_flow_hook, nullptr);
    ASSERT_NE(jxbridge_flow_event_hook, nullptr);
    char expect[64];
    snprintf(expect, sizeof(expect), "Setting flow hook to %p.\n", (void *)jxbridge_flow_hook);
    EXPECT_EQ(logged(expect), 1u);
    EXPECT_EQ(logged("Setting flow event hook to "), 1u);

    linecard_flowmgr_set_event_result(8, 111);
    int code = 5;
    EXPECT_EQ(jxbridge_flow_event_hook(8, &code, nullptr, nullptr), 111);
    EXPECT_EQ(jxbridge_flow_event_hook(5, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(linecard_flowmgr_events().size(), 2u);
    EXPECT_EQ(linecard_flowmgr_events()[0].a1, &code);

    // Unloading the bridge leaves no hook behind; nor does loading it again.
    rte_modules_unload_all();
    EXPECT_EQ(jxbridge_flow_hook, nullptr);
    EXPECT_EQ(jxbridge_flow_event_hook, nullptr);
    EXPECT_EQ(linecard_flowmgr_install(), -ENOENT); // the setters went with the module
    jxbridge_flow_hook = (jxbridge_flow_hook_fn)1;  // stale from an earlier life
    jxbridge_flow_event_hook = (jxbridge_flow_event_hook_fn)1;
    ASSERT_EQ(rte_module_load("jxbridge_mod"), 0);
    rte_settle();
    EXPECT_EQ(jxbridge_flow_hook, nullptr);
    EXPECT_EQ(jxbridge_flow_event_hook, nullptr);
}

} // namespace
