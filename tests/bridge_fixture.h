// A loaded module with bridge br0 of four ports, the flow manager's hooks
// installed, and devices a test makes for ports.
#pragma once

#include "jxtest.h"

#include "kernel/netdevice.h"
#include "linecard/engine.h"
#include "linecard/flowmgr.h"
#include "sources/jxbridge/jxbridge.h"

namespace jxtest {

class BridgeTest : public ModuleTest {
  protected:
    struct jxbridge *br = nullptr;
    std::vector<net_device *> devs;

    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 4"), 0);
        br = jxbridge_find("br0");
        ASSERT_NE(br, nullptr);
        ASSERT_EQ(linecard_flowmgr_install(), 0);
    }
    void TearDown() override {
        rte_modules_unload_all(); // takes the bridge and its ports first
        for (net_device *d : devs) {
            EXPECT_EQ(d->priv_flags & IFF_BRIDGE_PORT, 0u) << d->name;
            EXPECT_EQ(d->promiscuity, 0) << d->name;
            unregister_netdev(d);
            free_netdev(d);
        }
        linecard_flowmgr_clear();
        linecard_engine_remove();
        linecard_engine_clear();
        ModuleTest::TearDown();
    }
    net_device *dev(const char *name) {
        net_device *d = alloc_netdev(0, name, NET_NAME_USER, ether_setup);
        EXPECT_EQ(register_netdev(d), 0);
        devs.push_back(d);
        return d;
    }
    jxbridge_port *port(const char *name) {
        jxbridge_port *p = nullptr;
        jxbridge_get_port_by_name(br, name, &p);
        return p;
    }
    // Flow events of the code the flow manager has seen.
    size_t events(int code) {
        size_t n = 0;
        for (auto &e : linecard_flowmgr_events())
            n += e.code == code;
        return n;
    }
};

} // namespace jxtest
