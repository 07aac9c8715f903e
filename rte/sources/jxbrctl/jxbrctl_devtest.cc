// Developer tests: fixed requests on the STP, ERPS and CFM interfaces, for
// trying a module build by hand. They take no words of their own.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include <linux/netlink.h>
#include "jxbridge/jxbridge_ioctl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// The test VLAN set: VLAN 1 alone.
constexpr uint8_t VLAN_1_ONLY = 0x40;

// Runs one request; a failure is printed with the command's name. Keeps the
// first failure in *first.
int run(int h, unsigned long cmd, const void *rec, const char *name, int *first) {
    int rc = (int)jxctl_ioctl(h, cmd, (unsigned long)rec);
    if (rc < 0) {
        printf("Error %d %s\n", rc, name);
        if (!*first)
            *first = rc;
    }
    return rc;
}

int test_stp(const char *bridge) {
    int h = brctl_open_bridge_file(bridge, "bridge");
    if (h < 0)
        return h;
    stp_vlan_state_request r = {};
    strcpy(r.name, "eth0");
    r.state = 0; // discarding
    r.vlans[0] = VLAN_1_ONLY;
    int rc = 0;
    run(h, BRIDGE_IOCTL_PORT_MSTP_STATE_SET, &r, "BRIDGE_IOCTL_PORT_MSTP_STATE_SET", &rc);
    jxctl_close(h);
    return rc;
}

int test_erps(const char *bridge) {
    int h = brctl_open_bridge_file(bridge, "erps");
    if (h < 0)
        return h;
    int rc = 0;
    uint32_t enable = 1;
    run(h, BRIDGE_IOCTL_ERPS_STATE_SET, &enable, "BRIDGE_IOCTL_ERPS_STATE_SET", &rc);
    erps_port_request p = {};
    strcpy(p.name, "eth0");
    p.vid = 1;
    p.state = 1;
    p.vlans[0] = VLAN_1_ONLY;
    run(h, BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET, &p,
        "BRIDGE_IOCTL_ERPS_PORT_VLAN_OPERATIONAL_STATE_SET", &rc);
    run(h, BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET, &p,
        "BRIDGE_IOCTL_ERPS_PORT_VLAN_FORWARD_STATE_SET", &rc);
    erps_port_request f = {};
    strcpy(f.name, "10257");
    f.vid = 123;
    run(h, BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT, &f, "BRIDGE_IOCTL_ERPS_FLUSH_FDB_VLAN_PORT", &rc);
    jxctl_close(h);
    return rc;
}

int test_cfm(const char *bridge) {
    int h = brctl_open_bridge_file(bridge, "cfm");
    if (h < 0)
        return h;
    int rc = 0;
    cfm_enable_request e = {};
    strcpy(e.name, "10257");
    e.vid = 123;
    e.tx_interval = 1;
    e.rx_interval = 1;
    printf("BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE test ...\n\n");
    run(h, BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE, &e, "BRIDGE_IOCTL_CFM_PORT_VLAN_ENABLE", &rc);

    cfm_stats_request s = {};
    strcpy(s.name, "10257");
    s.vid = 123;
    printf("BRIDGE_IOCTL_CFM_PORT_VLAN_STATISTICS_GET test ...\n\n");
    if (run(h, BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_GET, &s,
            "BRIDGE_IOCTL_CFM_PORT_VLAN_STATISTICS_GET", &rc) >= 0)
        printf("Retrieved statistics: tx=%ld, rx=%ld,loc=%ld, dropped=%ld \n", (long)s.tx,
               (long)s.rx, (long)s.loc, (long)s.dropped);
    printf("BRIDGE_IOCTL_CFM_PORT_VLAN_STATISTICS_CLEAR test ...\n\n");
    run(h, BRIDGE_IOCTL_CFM_PDU_ENGINE_STATISTICS_CLEAR, &s,
        "BRIDGE_IOCTL_CFM_PORT_VLAN_STATISTICS_CLEAR", &rc);
    sleep(1);
    printf("BRIDGE_IOCTL_CFM_PORT_VLAN_DISABLE test ...\n\n");
    run(h, BRIDGE_IOCTL_CFM_PORT_VLAN_DISABLE, &e, "BRIDGE_IOCTL_CFM_PORT_VLAN_DISABLE", &rc);
    jxctl_close(h);
    return rc;
}

// The CFM event listener: registers on netlink protocol 31 and prints the
// answer and the next two fault events.
int test_cfm_pdu() {
    unsigned pid = 0;
    int h = jxctl_nl_open(31, 0, &pid);
    if (h < 0)
        return -1;
    struct {
        nlmsghdr nlh;
        char text[1040 - sizeof(nlmsghdr)];
    } msg = {};
    static_assert(sizeof(msg) == 1040);
    msg.nlh.nlmsg_len = sizeof(msg);
    msg.nlh.nlmsg_pid = pid;
    strcpy(msg.text, "netlink_event_start");
    printf("Sending message to kernel\n");
    fflush(stdout);
    if (jxctl_nl_send(h, &msg, sizeof(msg)) < 0) {
        jxctl_close(h);
        return -1;
    }
    char buf[1040];
    ssize_t n = jxctl_nl_recv(h, buf, sizeof(buf), -1);
    if (n < (ssize_t)sizeof(nlmsghdr)) {
        jxctl_close(h);
        return -1;
    }
    const nlmsghdr *nlh = (const nlmsghdr *)buf;
    int len = (int)(n - sizeof(nlmsghdr));
    if ((int)nlh->nlmsg_len - (int)sizeof(nlmsghdr) < len)
        len = (int)nlh->nlmsg_len - (int)sizeof(nlmsghdr);
    const char *text = buf + sizeof(nlmsghdr);
    printf("Received message %d, msg=%.*s\n", 0, len < 0 ? 0 : (int)strnlen(text, len), text);
    fflush(stdout);
    if (len == 2 && !memcmp(text, "OK", 2))
        for (int i = 1; i <= 2; i++) {
            n = jxctl_nl_recv(h, buf, sizeof(buf), -1);
            if (n < (ssize_t)(sizeof(nlmsghdr) + 12)) {
                jxctl_close(h);
                return -1;
            }
            uint32_t bll, type;
            memcpy(&bll, buf + sizeof(nlmsghdr), 4);
            memcpy(&type, buf + sizeof(nlmsghdr) + 8, 4);
            printf("Received message %d, nlh->nlmsg_len=%d\n", i, (int)nlh->nlmsg_len);
            printf("event->bll_id=%d, event->event_type=%d\n", (int)bll, (int)type);
            fflush(stdout);
        }
    jxctl_close(h);
    return 0;
}

} // namespace

int brctl_devtest(int argc, char **argv, bool *handled) {
    static const char *const tests[] = {"stp", "erps", "erps_pdu", "cfm", "cfm_pdu"};
    const char *word = argv[2];
    *handled = false;
    for (const char *t : tests)
        *handled = *handled || !strcmp(word, t);
    if (!*handled)
        return 0;
    // The frame test talks to the ERPS filter device; until the bridge has it
    // there is nothing to test, and saying so beats a silent success.
    if (!strcmp(word, "erps_pdu")) {
        fprintf(stderr, "%s is not supported: the bridge has no %s yet.\n", word,
                "ERPS filter device");
        return -EOPNOTSUPP;
    }
    if (!strcmp(word, "cfm_pdu"))
        return test_cfm_pdu();
    // Only "<prog> <bridge> <test>" runs a test.
    if (argc != 3)
        return 0;
    if (!strcmp(word, "stp"))
        return test_stp(argv[1]);
    if (!strcmp(word, "erps"))
        return test_erps(argv[1]);
    if (!strcmp(word, "cfm"))
        return test_cfm(argv[1]);
    return 0;
}
