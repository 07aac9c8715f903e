// Port counters: of one port by name, or of every uplink (and multicast GEM)
// port by BLL number.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include "jxbridge/jxbridge_ioctl.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

struct counter {
    const char *name;
    size_t offset;
    size_t size;
};

#define COUNTER(f)                                                                                 \
    { #f, offsetof(jxbridge_port_counters, f), sizeof(jxbridge_port_counters::f) }
const counter counters[] = {
    COUNTER(rx_discard),
    COUNTER(rx_discard_queue_full),
    COUNTER(rx_error),
    COUNTER(rx_unknown),
    COUNTER(rx_CRCAllignError),
    COUNTER(rx_undersize),
    COUNTER(rx_oversize),
    COUNTER(rx_fragments),
    COUNTER(rx_jabbers),
    COUNTER(rx_octets),
    COUNTER(rx_pkts),
    COUNTER(rx_ucast),
    COUNTER(rx_dlf),
    COUNTER(rx_mcast),
    COUNTER(rx_bcast),
    COUNTER(rx_pkts64octets),
    COUNTER(rx_pkts65to127octets),
    COUNTER(rx_pkts128to255octets),
    COUNTER(rx_pkts256to511octets),
    COUNTER(rx_pkts512to1023octets),
    COUNTER(rx_pkts1024to1518octets),
    COUNTER(tx_discard),
    COUNTER(tx_octets),
    COUNTER(tx_pkts),
    COUNTER(tx_ucast),
    COUNTER(tx_mcast),
    COUNTER(tx_bcast),
    COUNTER(drop_acl_ingress),
    COUNTER(drop_acl_egress),
    COUNTER(drop_qos_ds_ingress),
    COUNTER(drop_qos_ds_egress),
    COUNTER(drop_storm_dlf),
    COUNTER(drop_storm_mcast),
    COUNTER(drop_storm_bcast),
    COUNTER(drop_tx_protected_port),
    COUNTER(drop_mn_flag),
    COUNTER(drop_vlan_ingress_accept_tagged),
    COUNTER(drop_vlan_ingress_accept_untagged),
    COUNTER(drop_vlan_ingress_filtering),
    COUNTER(drop_vlan_egress_filtering),
    COUNTER(drop_static_mac),
    COUNTER(mac_source_guard_error_disabled),
    COUNTER(mac_source_guard_violations),
};
#undef COUNTER

constexpr int NAME_COLUMN = 36;

// Unsigned: the counters wrap, they never go negative.
void print_counters(const uint8_t *block) {
    static const char dots[] = "....................................";
    static_assert(sizeof(dots) - 1 == NAME_COLUMN);
    for (const counter &c : counters) {
        int pad = NAME_COLUMN - (int)strlen(c.name);
        printf("%s%.*s", c.name, pad, dots);
        if (c.size == sizeof(uint64_t)) {
            uint64_t v;
            memcpy(&v, block + c.offset, sizeof(v));
            printf("%" PRIu64 "\n", v);
        } else {
            uint32_t v;
            memcpy(&v, block + c.offset, sizeof(v));
            printf("%" PRIu32 "\n", v);
        }
    }
}

int stat_port(int h, const char *name) {
    port_counters_request r = {};
    int rc = brctl_port_name(r.name, name);
    if (rc)
        return rc;
    rc = (int)jxctl_ioctl(h, BRIDGE_IOCTL_PORT_COUNTERS_GET, (unsigned long)&r);
    if (rc < 0) {
        printf("Unable to get statistics of port '%s'.\n", name);
        return rc;
    }
    printf("\nPort statistics %s:\n", name);
    print_counters(r.counters);
    return 0;
}

// Uplinks and LAGs; with all, also the GEM ports that have a UCC.
int stat_all(int h, bool uplinks_only) {
    int rc = brctl_each_port(h, [&](port_request &p) {
        bool uplink = p.type == 0 || p.type == 7;
        bool gem = !uplinks_only && p.type == 5 && p.ucc != 0xFFFF;
        if (!uplink && !gem)
            return;
        port_counters_request r = {};
        snprintf(r.name, sizeof(r.name), "%u", p.bll_port_no);
        if (jxctl_ioctl(h, BRIDGE_IOCTL_PORT_COUNTERS_GET, (unsigned long)&r) < 0)
            return;
        printf("\nPort statistics %s (bllid=%d) (ucc=%d, subport=%d):\n", p.name,
               (int)p.bll_port_no, (int)p.ucc, (int)p.subport);
        print_counters(r.counters);
    });
    if (rc < 0)
        printf("Unable to get information.\n");
    return rc;
}

} // namespace

int brctl_stat(int argc, char **argv) {
    bool all = argc == 4 && !strcmp(argv[3], "all");
    bool uplinks = argc == 4 && !strcmp(argv[3], "all_uplinks");
    bool port = argc == 5 && !strcmp(argv[3], "port");
    if (!all && !uplinks && !port)
        return brctl_usage(U_STAT, argv[0]);
    int h = brctl_open_bridge_file(argv[1], "bridge");
    if (h < 0)
        return h;
    int rc = port ? stat_port(h, argv[4]) : stat_all(h, uplinks);
    jxctl_close(h);
    return rc;
}
