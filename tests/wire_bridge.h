// A bridge of in-process wire ports, frames processed in the caller: what the
// pipeline tests and the flow manager's tests drive frames through.
#pragma once

#include "jxtest.h"

#include "kernel/netdevice.h"
#include "linecard/engine.h"
#include "linecard/flowmgr.h"
#include "linecard/wire.h"
#include "sources/jxbridge/jxbridge.h"

#include <vector>

namespace jxtest {

using frame = linecard_frame;

inline frame mac(u8 last) {
    return {0x02, 0, 0, 0, 0, last};
}

// An Ethernet frame: destination, source, optional 802.1Q tag, type and payload.
inline frame eth(const frame &dst, const frame &src, u16 type, size_t payload = 46, int vid = -1,
                 u8 fill = 0xA5) {
    frame f;
    f.reserve(18 + payload);
    for (u8 b : dst)
        f.push_back(b);
    for (u8 b : src)
        f.push_back(b);
    if (vid >= 0) {
        f.push_back(0x81);
        f.push_back(0x00);
        f.push_back((u8)(vid >> 8));
        f.push_back((u8)vid);
    }
    f.push_back((u8)(type >> 8));
    f.push_back((u8)type);
    f.resize(f.size() + payload, fill);
    return f;
}

class WireBridgeTest : public ModuleTest {
  protected:
    struct jxbridge *br = nullptr;
    std::vector<net_device *> wires;
    const char *BR = "/proc/net/jxbridge/br0/bridge";

    void SetUp() override {
        linecard_ethdrv_init(); // the driver whose hook the bridge takes
        ModuleTest::SetUp();
        // Frames are processed in the caller, so a test sees the result at once.
        ASSERT_GT(proc_write("/proc/net/jxbridge/config", "threaded enable off"), 0);
        ASSERT_GT(proc_write("/proc/net/jxbridge/config", "add br0 12"), 0);
        br = jxbridge_find("br0");
        ASSERT_NE(br, nullptr);
        rtnl_lock();
        ASSERT_EQ(dev_open(br->dev), 0);
        rtnl_unlock();
    }
    void TearDown() override {
        rtnl_lock();
        dev_close(br->dev);
        rtnl_unlock();
        rte_modules_unload_all();
        for (net_device *d : wires)
            linecard_wire_del(d);
        linecard_flowmgr_clear();
        linecard_engine_remove();
        linecard_engine_clear();
        linecard_ethdrv_fini();
        ModuleTest::TearDown();
    }
    // A wire port of the kind, up, with its line up.
    jxbridge_port *port(const char *name, u32 kind = JXBRIDGE_PORT_ACCESS, u32 bll = 0) {
        net_device *d = linecard_wire_add(name);
        EXPECT_NE(d, nullptr);
        wires.push_back(d);
        mutex_lock(&jxbridge_lock);
        jxbridge_port *p = jxbridge_add_port(br, 0xFFFFFFFF, bll, d, kind);
        if (p)
            p->phy_state = JXBRIDGE_PHY_UP;
        mutex_unlock(&jxbridge_lock);
        EXPECT_NE(p, nullptr);
        return p;
    }
    void rx(jxbridge_port *p, const frame &f) { linecard_wire_rx(p->dev, f); }
    std::vector<frame> tx(jxbridge_port *p) { return linecard_wire_take(p->dev); }
    void drain() {
        for (net_device *d : wires)
            linecard_wire_take(d);
    }
};

} // namespace jxtest
