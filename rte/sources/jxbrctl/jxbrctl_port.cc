// The bridge's own commands: information, ports added, removed and listed,
// the MN flag and a port's local MAC address.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include "jxbridge/jxbridge_ioctl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The port kind a name suggests: the line card names its interfaces by kind.
static uint32_t port_type_of(const char *name) {
    static const struct {
        const char *prefix;
        uint32_t type;
    } kinds[] = {{"mng", 6}, {"eth", 0}, {"tarn", 7}, {"dsl", 5}, {"gpon", 1}, {"xgspon", 1}};
    for (const auto &k : kinds)
        if (!strncmp(name, k.prefix, strlen(k.prefix)))
            return k.type;
    return 0;
}

static int bridge_ioctl(const char *bridge, unsigned long cmd, void *rec) {
    return brctl_call(bridge, "bridge", cmd, (unsigned long)rec);
}

static int cmd_info(int argc, char **argv) {
    if (argc != 3)
        return brctl_usage(U_INFO, argv[0]);
    bridge_info info = {};
    int rc = bridge_ioctl(argv[1], BRIDGE_IOCTL_INFO_GET, &info);
    if (rc < 0) {
        printf("Unable to get information.\n");
        return rc;
    }
    printf("Max ports:            %d\nS-Tag Ethernet Type: 0x%04x\n", (int)info.max_ports,
           info.outer_ethertype);
    return 0;
}

static int cmd_if(int argc, char **argv) {
    if (argc != 4)
        return brctl_usage(U_IF, argv[0]);
    port_request r = {};
    int rc = brctl_port_name(r.name, argv[3]);
    if (rc)
        return rc;
    r.port_no = JXBRIDGE_PORT_ANY;
    r.type = port_type_of(argv[3]);
    rc = bridge_ioctl(argv[1], BRIDGE_IOCTL_PORT_ADD, &r);
    if (rc < 0)
        printf("Error adding port '%s' to bridge '%s'.\n", argv[3], argv[1]);
    return rc;
}

static int cmd_dif(int argc, char **argv) {
    if (argc != 4)
        return brctl_usage(U_DIF, argv[0]);
    // Passed by pointer: the module reads the whole field.
    char name[JXBRIDGE_NAME_FIELD];
    int rc = brctl_port_name(name, argv[3]);
    if (rc)
        return rc;
    rc = bridge_ioctl(argv[1], BRIDGE_IOCTL_PORT_DEL, name);
    if (rc < 0)
        printf("Error deleting port '%s' from bridge '%s'.\n", argv[3], argv[1]);
    return rc;
}

static int cmd_show(int argc, char **argv) {
    if (argc != 3)
        return brctl_usage(U_SHOW, argv[0]);
    int h = brctl_open_bridge_file(argv[1], "bridge");
    if (h < 0)
        return h;
    int rc = brctl_each_port(h, [](port_request &r) { printf("%s\n", r.name); });
    if (rc < 0)
        printf("Unable to get information.\n");
    jxctl_close(h);
    return rc;
}

static int cmd_mn(int argc, char **argv) {
    if (argc != 5 || strcmp(argv[3], "set"))
        return brctl_usage(U_MN_SET, argv[0]);
    port_value_request r = {};
    int rc = brctl_port_name(r.name, argv[4]);
    if (rc)
        return rc;
    r.value = 1;
    rc = bridge_ioctl(argv[1], BRIDGE_IOCTL_PORT_MN_FLAG_SET, &r);
    if (rc < 0)
        printf("Error to set MN flag on port %s.\n", argv[4]);
    return rc;
}

// The bridge's local MAC becomes the port interface's address and a static
// entry of the port in the MAC table.
static int cmd_localmac(int argc, char **argv) {
    if (argc != 5 || strcmp(argv[3], "set"))
        return brctl_usage(U_LOCALMAC_SET, argv[0]);
    const char *port = argv[4];
    if (strlen(port) > IFNAMSIZ - 1)
        return printf("Port name is too long.\n");
    local_mac_request lm = {};
    int rc = bridge_ioctl(argv[1], BRIDGE_IOCTL_LOCAL_MAC_GET, &lm);
    if (rc < 0) {
        printf("error reading local mac %d\n", rc);
        return 1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return 1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    memcpy(ifr.ifr_name, port, strlen(port));
    ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    memcpy(ifr.ifr_hwaddr.sa_data, lm.mac, sizeof(lm.mac));
    if (ioctl(fd, SIOCSIFHWADDR, &ifr) < 0) {
        printf("SIOCSIFHWADDR error %d\n", -errno);
        close(fd);
        return 2;
    }
    close(fd);

    int h = brctl_open_bridge_file(argv[1], "mac_table");
    if (h < 0)
        return h;
    mt_mac_request m = {};
    brctl_port_name(m.name, port); // fits: checked above
    memcpy(m.mac, lm.mac, sizeof(m.mac));
    m.vid = 1;
    m.is_static = 1;
    rc = (int)jxctl_ioctl(h, MT_IOCTL_MAC_ADD, (unsigned long)&m);
    jxctl_close(h);
    if (rc < 0) {
        printf("error %d setting static mac on interface %s\n", rc, port);
        return 1;
    }
    return 0;
}

int brctl_port_cmd(int argc, char **argv) {
    const char *cmd = argv[2];
    if (!strcmp(cmd, "info"))
        return cmd_info(argc, argv);
    if (!strcmp(cmd, "if"))
        return cmd_if(argc, argv);
    if (!strcmp(cmd, "dif"))
        return cmd_dif(argc, argv);
    if (!strcmp(cmd, "show"))
        return cmd_show(argc, argv);
    if (!strcmp(cmd, "mn"))
        return cmd_mn(argc, argv);
    return cmd_localmac(argc, argv);
}
