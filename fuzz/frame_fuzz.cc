// Frames into br0 configured with the engines that exist: VLANs with tags
// and translation, Q-in-Q, storm limits, STP, tracing, MAC limits, static
// and multicast entries, a GEM port on an OLT whose engine limits, shapes
// and polices its ONU, access authentication on wd, the protocol filters
// with their devices up, ERPS blocking a VLAN, and OpenOLT flows between the
// GEM ports of OLT dsl0 and the uplink nni0. An input is a list of
//   u8 port (bit 7: advance the clock a second first; bit 6: the bytes are
//   a daemon's write on filter device port % 5; else port % 7 is the wire:
//   4 the OLT gpon0, 5 the OLT dsl0, whose frames carry a GEM tag, 6 nni0),
//   u16 length, bytes
// Every frame must be freed exactly once: a double free aborts in the frame
// pool, and a frame still held at the end fails the input. Every frame the
// driver of a port passed up must be counted once by the bridge: received,
// or dropped before it was (bridge down).
#include "fuzz_node.h"

#include "linecard/hostlink.h"
#include "sources/jxbridge/jx_qos.h"

using namespace jxfuzz;

namespace {

const char *const kSetup[][2] = {
    {"/proc/net/jxbridge/br0/vlan", "vlan add 100"},
    {"/proc/net/jxbridge/br0/vlan", "vlan add 200"},
    {"/proc/net/jxbridge/br0/vlan", "vlan add 300"},
    {"/proc/net/jxbridge/br0/vlan", "membership add wa 100"},
    {"/proc/net/jxbridge/br0/vlan", "pvid set wa 100"},
    {"/proc/net/jxbridge/br0/vlan", "acceptable set wa untagged"},
    {"/proc/net/jxbridge/br0/vlan", "membership add wb 200"},
    {"/proc/net/jxbridge/br0/vlan", "membership add wb 300"},
    {"/proc/net/jxbridge/br0/vlan", "tag set wb 300 1"},
    {"/proc/net/jxbridge/br0/vlan", "remark add wb 300 100 0"},
    {"/proc/net/jxbridge/br0/vlan", "membership add wc 100"},
    {"/proc/net/jxbridge/br0/vlan", "membership add wc 200"},
    {"/proc/net/jxbridge/br0/vlan", "membership add wc 300"},
    {"/proc/net/jxbridge/br0/vlan", "tag set wc 100 1"},
    {"/proc/net/jxbridge/br0/vlan", "tag set wc 200 1"},
    {"/proc/net/jxbridge/br0/vlan", "tag set wc 300 1"},
    {"/proc/net/jxbridge/br0/vlan", "membership add wd 100"},
    {"/proc/net/jxbridge/br0/vlan", "mcast 100 forward"},
    {"/proc/net/jxbridge/br0/bridge", "storm enable bcast wa"},
    {"/proc/net/jxbridge/br0/bridge", "storm rate bcast wa 20"},
    {"/proc/net/jxbridge/br0/bridge", "storm enable dlf wb"},
    {"/proc/net/jxbridge/br0/bridge", "set_protected_port wa 1"},
    {"/proc/net/jxbridge/br0/bridge", "stp on"},
    {"/proc/net/jxbridge/br0/bridge", "stp port wb state forwarding"},
    {"/proc/net/jxbridge/br0/tracer", "tracer 50 pcap mt tx annotate vlan 100"},
    {"/proc/net/jxbridge/br0/mac_table", "mac limit enable"},
    {"/proc/net/jxbridge/br0/mac_table", "mac limit set wb dynamic 4"},
    {"/proc/net/jxbridge/br0/mac_table", "mac add 100 02:00:00:00:00:77 wa static"},
    {"/proc/net/jxbridge/br0/mac_table", "mcast add 100 01:00:5e:01:01:01 wc"},
    {"/proc/net/jxbridge/br0/mac_table", "mcast add 100 01:00:5e:01:01:01 wd"},
    {"/proc/net/jxbridge/br0/pon", "pon_bridge add 2"},
    {"/proc/net/jxbridge/br0/vlan", "vlan add 400"},
    {"/proc/net/jxbridge/br0/vlan", "vlan add 401"},
    {"/proc/net/jxbridge/br0/rmirroring", "create 1 400"},
    {"/proc/net/jxbridge/br0/rmirroring", "source 1 wa both"},
    {"/proc/net/jxbridge/br0/rmirroring", "source 1 wb rx"},
    {"/proc/net/jxbridge/br0/rmirroring", "destination 1 wd"},
    {"/proc/net/jxbridge/br0/rmirroring", "cos 1 3"},
    {"/proc/net/jxbridge/br0/rmirroring", "activate 1"},
    {"/proc/net/jxbridge/br0/rmirroring", "create 2 401"},
    {"/proc/net/jxbridge/br0/rmirroring", "encaps 2 on"},
    {"/proc/net/jxbridge/br0/rmirroring", "mac 2 02:00:00:00:00:99"},
    {"/proc/net/jxbridge/br0/rmirroring", "source 2 wb tx"},
    {"/proc/net/jxbridge/br0/rmirroring", "source 2 wc rx"},
    {"/proc/net/jxbridge/br0/rmirroring", "activate 2"},
    {"/proc/net/jxbridge/br0/ipsg", "enable ipv4 1"},
    {"/proc/net/jxbridge/br0/ipsg", "enable ipv6 1"},
    {"/proc/net/jxbridge/br0/ipsg", "port wa enable ipv4 1"},
    {"/proc/net/jxbridge/br0/ipsg", "port wa enable ipv6 1"},
    {"/proc/net/jxbridge/br0/ipsg", "port wa learn 1"},
    {"/proc/net/jxbridge/br0/ipsg", "port wa bindings add 0 02:00:00:00:00:01 100 10.0.0.0/8"},
    {"/proc/net/jxbridge/br0/ipsg",
     "port wa bindings add 0 02:00:00:00:00:01 100 2001:db8:0:0:0:0:0:1"},
    {"/proc/net/jxbridge/br0/qos", "selector add all"},
    {"/proc/net/jxbridge/br0/qos", "condition add all 1 true"},
    {"/proc/net/jxbridge/br0/qos", "selector add tags"},
    {"/proc/net/jxbridge/br0/qos", "condition add tags 1 svid 100 300"},
    {"/proc/net/jxbridge/br0/qos", "condition add tags 2 ccos 0"},
    {"/proc/net/jxbridge/br0/qos", "selector add v6"},
    {"/proc/net/jxbridge/br0/qos", "condition add v6 1 ipv6_next_header 17"},
    {"/proc/net/jxbridge/br0/qos", "condition add v6 2 udp_dport 0 65535"},
    {"/proc/net/jxbridge/br0/qos", "action-list add mark"},
    {"/proc/net/jxbridge/br0/qos", "action add mark 1 set_ipv4_dscp 46"},
    {"/proc/net/jxbridge/br0/qos", "action add mark 2 set_outer_priority c 5"},
    {"/proc/net/jxbridge/br0/qos", "action add mark 3 add_inner_tag s 300"},
    {"/proc/net/jxbridge/br0/qos", "action add mark 4 copy wd"},
    {"/proc/net/jxbridge/br0/qos", "action add mark 5 remove_outer_tag c"},
    {"/proc/net/jxbridge/br0/qos", "action-list add prio"},
    {"/proc/net/jxbridge/br0/qos", "action add prio 1 set_spriority s 3"},
    {"/proc/net/jxbridge/br0/qos", "action add prio 2 set_cpriority c 2"},
    {"/proc/net/jxbridge/br0/qos", "action add prio 3 set_inner_tag c 7"},
    {"/proc/net/jxbridge/br0/qos", "port-entry add wa ingress 1 tags prio"},
    {"/proc/net/jxbridge/br0/qos", "port-entry add wa ingress 2 all mark"},
    {"/proc/net/jxbridge/br0/qos", "port-entry add wb egress 1 v6 prio"},
    {"/proc/net/jxbridge/br0/qos", "port-entry add wc egress 1 all mark"},
    {"/proc/net/jxbridge/br0/tal", "selector add dhcp"},
    {"/proc/net/jxbridge/br0/tal", "condition add dhcp 1 udp_dport 67"},
    {"/proc/net/jxbridge/br0/tal", "condition add dhcp 2 dhcp_option 61"},
    {"/proc/net/jxbridge/br0/tal", "selector add any"},
    {"/proc/net/jxbridge/br0/tal", "condition add any 1 true"},
    {"/proc/net/jxbridge/br0/tal", "action-list add ask"},
    {"/proc/net/jxbridge/br0/tal", "action add ask 1 send_authen_req"},
    {"/proc/net/jxbridge/br0/tal", "action add ask 2 drop"},
    {"/proc/net/jxbridge/br0/tal", "action-list add rest"},
    {"/proc/net/jxbridge/br0/tal", "action add rest 1 pass"},
    {"/proc/net/jxbridge/br0/tal", "state 1"},
    {"/proc/net/jxbridge/br0/tal", "port-entry add wd dhcp ask"},
    {"/proc/net/jxbridge/br0/tal", "port-entry add wd any rest"},
    {"/proc/net/jxbridge/br0/tal", "port wd max-queue-size 3"},
    {"/proc/net/jxbridge/br0/tal", "port wd timeout 1"},
    {"/proc/net/jxbridge/br0/tal", "port wd authentication 1"},
};

const char *const kFilterDevs[] = {"br0_erps", "br0_stp", "br0_lacp", "br0_efm", "br0_synce"};

// The filter devices up, and ERPS on wc: VLANs 100 and 200 under it, 200 forwarding.
void proto_filters_on() {
    rtnl_lock();
    for (const char *n : kFilterDevs)
        if (net_device *d = __dev_get_by_name(&init_net, n))
            dev_open(d);
    rtnl_unlock();
    struct file *f = nullptr;
    if (rte_vfs_open("/proc/net/jxbridge/br0/erps", O_RDONLY, &f))
        die("erps file");
    u32 on = 1;
    erps_port_request r = {};
    strcpy(r.name, "wc");
    r.state = 1;
    r.vlans[100 / 8] = 0x80 >> (100 % 8);
    r.vlans[200 / 8] = 0x80 >> (200 % 8);
    bool ok =
        !rte_vfs_ioctl(f, BRIDGE_IOCTL_ERPS_STATE_SET, (unsigned long)&on) &&
        !rte_vfs_ioctl(f, BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET, (unsigned long)&r);
    r.vlans[100 / 8] = 0;
    ok = ok && !rte_vfs_ioctl(f, BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET, (unsigned long)&r);
    rte_vfs_close(f);
    if (!ok)
        die("erps set-up");
}

// A subscriber behind GEM 100 of gpon0, and VLAN 100's multicast GEM.
const char *const kPonSetup[] = {"gem set gpon0 100 11 1", "gem mcast add 100 3900"};

// The driver's count against the bridge's, port by port.
void check_rx_balance() {
    mutex_lock(&jxbridge_lock);
    for (size_t i = 0; i < kNumPorts; i++) {
        const net_device *d = wire(i);
        // The set-up gave port i the BLL number i + 1.
        const jxbridge_port *p = get_jxbridge_port_from_bll_port_no(bridge(), u32(i + 1));
        if (!p)
            continue;
        const u64 bridged = p->counters.rx_pkts + p->counters.drop_bridge_down;
        if (d->stats.rx_packets != bridged) {
            fprintf(stderr, "%s: driver passed up %llu frames, bridge counted %llu\n", d->name,
                    (unsigned long long)d->stats.rx_packets, (unsigned long long)bridged);
            abort();
        }
    }
    mutex_unlock(&jxbridge_lock);
}

// The packet engine on the OLT: storm limits on the subscriber's GEM and its
// ONU shaped and policed, so that frames wait, pass and drop there too.
const char *const kEngineStorm[] = {"storm rate bcast 11 3", "storm enable bcast 11",
                                    "storm rate mcast 11 2", "storm enable mcast 11"};
void engine_on() {
    for (const char *c : kEngineStorm)
        file_write("/proc/net/jxbridge/br0/bridge", c, strlen(c));
    struct file *f = nullptr;
    if (rte_vfs_open("/proc/net/jxbridge/br0/qos", O_RDONLY, &f))
        die("qos file");
    qos_port_record r = {};
    strcpy(r.port, "11");
    r.rate = 64;
    r.burst = 16;
    r.peak_burst = 1; // the ONU
    bool ok = !rte_vfs_ioctl(f, 0x40047a44, (unsigned long)&r) &&
              !rte_vfs_ioctl(f, 0x40047a45, (unsigned long)&r);
    rte_vfs_close(f);
    if (!ok)
        die("ONU shaping and policing");
}

// OpenOLT: upstream and downstream flows of GEM 200, a DHCP trap to
// openolt0 and a multicast flow to a group on GEM 3901.
const char *const kOoDevs[] = {"dsl0", "nni0", "openolt0"};
const char *const kOoSetup[] = {
    "flow add us 1 0 5 network 0 gem 200 prio 10 class tag-type untagged action add-outer 0x0064",
    "flow add ds 1 0 5 network 0 gem 200 prio 10 class ovid 100 action remove-outer 1",
    ("flow add us 2 0 5 gem 200 prio 20 class ethtype 0x0800 ipproto 17 dport 67 action "
     "trap-to-host 1"),
    "mcast-group add 7 0:3901",
    "flow add mcast 3 0 0 network 0 grp 7 prio 5 class ovid 300",
};
net_device *g_oo[3];

void oo_up() {
    for (size_t i = 0; i < 3; i++)
        if (!(g_oo[i] = linecard_wire_add(kOoDevs[i])))
            die("OpenOLT wire");
    const struct {
        net_device *dev;
        u32 bll, kind;
    } ports[] = {{g_oo[0], 20, JXBRIDGE_PORT_PON_GEM},
                 {g_oo[0], 21, JXBRIDGE_PORT_PON_GEM},
                 {g_oo[1], 128, JXBRIDGE_PORT_UPLINK}};
    mutex_lock(&jxbridge_lock);
    for (auto &d : ports) {
        jxbridge_port *p = jxbridge_add_port(bridge(), 0xFFFFFFFF, d.bll, d.dev, d.kind);
        if (!p)
            die("OpenOLT port");
        p->phy_state = JXBRIDGE_PHY_UP;
    }
    mutex_unlock(&jxbridge_lock);
    for (const char *c : kOoSetup)
        if (file_write("/proc/net/jxbridge/br0/openolt", c, strlen(c)) <= 0)
            die("OpenOLT flow");
    jxbridge_port_phy_state_set(g_oo[0], 1, 10000, 1);
}

void oo_down() {
    rte_modules_unload_all();
    for (net_device *&d : g_oo) {
        linecard_wire_del(d);
        d = nullptr;
    }
}

net_device *input_wire(u8 port) {
    u8 i = (port & 0x3f) % 7;
    return i < 5 ? wire(i) : g_oo[i - 5];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    node_up();
    for (auto &c : kSetup)
        file_write(c[0], c[1], strlen(c[1]));
    mutex_lock(&jxbridge_lock);
    jxbridge_port *gem =
        jxbridge_add_port(bridge(), 0xFFFFFFFF, 11, wire(kNumPorts), JXBRIDGE_PORT_PON_GEM);
    if (gem)
        gem->phy_state = JXBRIDGE_PHY_UP;
    mutex_unlock(&jxbridge_lock);
    if (!gem)
        die("GEM port");
    for (const char *c : kPonSetup)
        file_write("/proc/net/jxbridge/br0/pon", c, strlen(c));
    file_write("/proc/net/jxbridge/br0/vlan", "membership add 11 100", 21);
    engine_on();
    // A capture reader, so that the tracer's captures are queued and read.
    struct file *pcap = nullptr;
    rte_vfs_open("/proc/net/jxbridge/br0/pcap", O_RDONLY | O_NONBLOCK, &pcap);
    proto_filters_on();
    oo_up();
    const uint8_t *p = data, *end = data + size;
    for (int frames = 0; frames < 64 && end - p >= 3; frames++) {
        const u8 port = p[0];
        size_t len = size_t(p[1]) << 8 | p[2];
        p += 3;
        len = len < size_t(end - p) ? len : size_t(end - p);
        if (port & 0x80)
            rte_clock_advance_ms(1000);
        if (port & 0x40) {
            net_device *d = __dev_get_by_name(&init_net, kFilterDevs[(port & 0x3f) % 5]);
            if (!d)
                die("filter device");
            linecard_hostlink_send(d, linecard_frame(p, p + len));
        } else {
            linecard_wire_rx(input_wire(port), linecard_frame(p, p + len));
        }
        p += len;
        drain_wires();
        for (net_device *d : g_oo)
            linecard_wire_take(d);
    }
    check_rx_balance();
    file_read_all("/proc/net/jxbridge/br0/bridge");
    file_read_all("/proc/net/jxbridge/br0/rmirroring");
    if (pcap) {
        char buf[333];
        while (rte_vfs_read(pcap, buf, sizeof(buf)) > 0) {
        }
        rte_vfs_close(pcap);
    }
    file_read_all("/proc/net/jxbridge/br0/openolt");
    oo_down();
    node_down();
    return 0;
}
