// Developer tests: fixed requests on the STP, ERPS and CFM interfaces, for
// trying a module build by hand. They take no words of their own.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include <linux/netlink.h>
#include "jxbridge/jxbridge_ioctl.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

// The ERPS filter device's frames: a header of 107 bytes, then the PDU.
constexpr const char *PDU_TEST = "section_bridge_erps_pdu_test";
constexpr const char *ERPS_DEV = "br0_erps";
constexpr size_t HEADER_LEN = 107;
constexpr size_t LEN_AT = 48;
constexpr size_t OUT_PORT_AT = 54;
constexpr size_t PORT_NAME_AT = 74;
constexpr size_t TEST_FRAME_LEN = 167;

// An interruption ends the receiving loop instead of the program.
void pdu_test_interrupted(int) {}

void pdu_receive(int fd) {
    char buf[2048];
    int count = 0;
    for (int i = 0; i < 100; i++) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0)
            break;
        uint32_t len = 0;
        if ((size_t)n >= LEN_AT + sizeof(len))
            memcpy(&len, buf + LEN_AT, sizeof(len));
        if ((size_t)n < HEADER_LEN || len != (uint32_t)n)
            continue;
        char port[17] = {};
        memcpy(port, buf + PORT_NAME_AT, sizeof(port) - 1);
        count++;
        printf("%s: Received PDU nr=%d, full_size=%d, pdu_size=%d, port=%s.\n", PDU_TEST, count,
               (int)n, (int)(n - HEADER_LEN), port);
    }
    printf("%s: Frame receiving test finished.\n", PDU_TEST);
}

void pdu_send(int fd) {
    printf("%s: Do a test send...\n", PDU_TEST);
    uint8_t frame[TEST_FRAME_LEN] = {};
    uint32_t len = TEST_FRAME_LEN;
    uint16_t out = 0x281B;
    memcpy(frame + LEN_AT, &len, sizeof(len));
    memcpy(frame + OUT_PORT_AT, &out, sizeof(out));
    frame[112] = 0xCE;
    frame[118] = 0xBA;
    ssize_t n = send(fd, frame, sizeof(frame), MSG_DONTWAIT);
    if (n < 0)
        printf("%s: socket send (%s), error: %s", PDU_TEST, ERPS_DEV, strerror(errno));
    else if ((size_t)n != sizeof(frame))
        printf("%s: socket send (%s) error: only %u bytes sent (%u requested).", PDU_TEST, ERPS_DEV,
               (unsigned)n, (unsigned)sizeof(frame));
    else
        printf("%s: PDU sent to %s.\n", PDU_TEST, ERPS_DEV);
}

int test_erps_pdu() {
    printf("%s: Create socket...\n", PDU_TEST);
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0) {
        printf("%s: Unable to create socket (errno=%d).\n", PDU_TEST, errno);
        return 1;
    }
    // The device is the node's: raising it raises its host interface too.
    if (jxctl_link_set(ERPS_DEV, true) == 0)
        printf("%s: Device <%s> is UP.\n", PDU_TEST, ERPS_DEV);
    else
        printf("%s: <%s> Unable to set flags.", PDU_TEST, ERPS_DEV);
    unsigned index = if_nametoindex(ERPS_DEV);
    if (!index) {
        printf("%s: Error getting index of device %s: %s\n", PDU_TEST, ERPS_DEV, strerror(errno));
        close(fd);
        return 1;
    }
    sockaddr_ll sll = {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = (int)index;
    if (bind(fd, (sockaddr *)&sll, sizeof(sll)) < 0) {
        printf("%s: Error binding ERPS socket to interface %s: %s\n", PDU_TEST, ERPS_DEV,
               strerror(errno));
        close(fd);
        return 1;
    }
    int rcvbuf = 512000;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    printf("%s: Set socket SO_RCVBUF=%d.\n", PDU_TEST, rcvbuf);
    printf("%s: Frame receiving started for 100 packets...\n", PDU_TEST);
    fflush(stdout);
    struct sigaction sa = {}, old_int = {}, old_term = {};
    sa.sa_handler = pdu_test_interrupted; // no SA_RESTART: recv returns
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);
    pdu_receive(fd);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    pdu_send(fd);
    printf("%s: Delete socket...\n", PDU_TEST);
    close(fd);
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
    if (!strcmp(word, "cfm_pdu"))
        return test_cfm_pdu();
    // Only "<prog> <bridge> <test>" runs a test.
    if (argc != 3)
        return 0;
    if (!strcmp(word, "stp"))
        return test_stp(argv[1]);
    if (!strcmp(word, "erps"))
        return test_erps(argv[1]);
    if (!strcmp(word, "erps_pdu"))
        return test_erps_pdu();
    if (!strcmp(word, "cfm"))
        return test_cfm(argv[1]);
    return 0;
}
