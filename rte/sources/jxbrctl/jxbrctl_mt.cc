// MAC table commands: the table's settings, port security and entries shown,
// and static multicast members added or removed, through the bridge's
// "mac_table" file.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include "jxbridge/jxbridge_ioctl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t NO_VID = 4095;     // a free per-VLAN limit slot
constexpr uint32_t SOURCE_BATCH = 50; // sources fetched per request

struct file {
    int h;
    file(const char *bridge, const char *name) : h(brctl_open_bridge_file(bridge, name)) {}
    ~file() {
        if (h >= 0)
            jxctl_close(h);
    }
    int call(unsigned long cmd, const void *rec) const {
        return (int)jxctl_ioctl(h, cmd, (unsigned long)rec);
    }
};

const char *ip_text(uint32_t ip, char buf[16]) {
    snprintf(buf, 16, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
    return buf;
}

// The table's sizes on an opened file; a failed open is passed on.
int table_info(const file &mt, mt_info *info) {
    *info = {};
    if (mt.h < 0)
        return mt.h;
    int rc = mt.call(MT_IOCTL_INFO_GET, info);
    if (rc < 0)
        printf("Unable to get MAC Table info.\n");
    return rc;
}

int show_general(const char *bridge) {
    file mt(bridge, "mac_table");
    mt_info info;
    int rc = table_info(mt, &info);
    if (rc < 0)
        return rc;
    unsigned usage = info.max_size ? (unsigned)((uint64_t)info.count * 100 / info.max_size) : 0;
    printf("Max size:            %u\nCurrent size:        %u\nUsage:               %u%%\nHash "
           "size:           %u\nMulticast hash size: %u\n",
           info.max_size, info.count, usage, info.mac_hash, info.mcast_hash);
    return 0;
}

int show_ports(const char *bridge) {
    file br(bridge, "bridge");
    if (br.h < 0)
        return br.h;
    bridge_info binfo = {};
    int rc = br.call(BRIDGE_IOCTL_INFO_GET, &binfo);
    if (rc < 0) {
        printf("Unable to get bridge info.\n");
        return rc;
    }
    file mt(bridge, "mac_table");
    if (mt.h < 0)
        return mt.h;
    printf("              |       S t a t i c       |      D y n a m i c      | MAC Source\n"
           "     Port     |   Count    |   Limit    |   Count    |   Limit    |   Guard\n"
           "--------------+------------+------------+------------+------------+------------\n");
    for (uint32_t i = 0; i <= binfo.max_ports; i++) {
        port_request p = {};
        p.port_no = i;
        if (br.call(BRIDGE_IOCTL_PORT_GET, &p) < 0)
            continue;
        mt_port_security_request s = {};
        snprintf(s.name, sizeof(s.name), "%u", i);
        if (mt.call(MT_IOCTL_PS_PORT_GET, &s) < 0)
            continue;
        p.name[JXBRIDGE_NAME_FIELD - 1] = '\0';
        const mac_table_port &ps = s.port;
        printf("%3u %9s | %10u | %10u | %10u | %10u |    %u\n", i, p.name, ps.static_count,
               ps.static_limit, ps.dynamic_count, ps.dynamic_limit, ps.msg);
        for (const mac_table_vlan_limit &vl : ps.vlan_limits)
            if (vl.vid != NO_VID)
                printf("              |                         | %10u | %10u | VID=%d (0x%04x)\n",
                       vl.count, vl.limit, vl.vid, vl.vid);
    }
    return 0;
}

int show_ucast(const char *bridge) {
    file mt(bridge, "mac_table");
    mt_info info;
    int rc = table_info(mt, &info);
    if (rc < 0)
        return rc;
    printf("  Hash  |       VID/MAC        |  Time  |S| Port\n"
           "--------+----------------------+--------+-+---------\n");
    for (uint32_t b = 0; b < info.mac_hash; b++)
        for (uint32_t pos = 0;; pos++) {
            mt_hash_entry_request e = {};
            e.bucket = b;
            e.position = pos;
            if (mt.call(MT_IOCTL_HASH_ENTRY_GET, &e) < 0)
                break;
            if (pos == 0)
                printf("%08x\n", b);
            e.port_name[JXBRIDGE_NAME_FIELD - 1] = '\0';
            printf("         %4d/%02x:%02x:%02x:%02x:%02x:%02x %08x %s  %s (%d)\n", e.vid, e.mac[0],
                   e.mac[1], e.mac[2], e.mac[3], e.mac[4], e.mac[5], e.timestamp,
                   e.is_static ? "S" : " ", e.port_name, (int)e.port_no);
        }
    return 0;
}

// One group of an entry: its address, then each port's filter and sources.
void show_group(const file &mt, mt_mcast_ip_get_request *q) {
    char ip[16];
    printf("         |        %15s |\n", ip_text(q->group, ip));
    uint32_t group = q->group_position;
    for (uint32_t port = 0;; port++) {
        for (uint32_t first = 0;; first += SOURCE_BATCH) {
            uint32_t bucket = q->bucket, entry = q->entry;
            memset(q, 0, sizeof(*q) + SOURCE_BATCH * sizeof(uint32_t));
            q->bucket = bucket;
            q->entry = entry;
            q->group_position = group;
            q->port_index = port;
            q->first_source = first + 1; // sources are numbered from 1
            q->size = SOURCE_BATCH;
            if (mt.call(MT_IOCTL_MCAST_IP_GET, q) < 0) {
                if (first)
                    printf("\n");
                return;
            }
            q->name[JXBRIDGE_NAME_FIELD - 1] = '\0';
            if (first == 0)
                printf("         |                        | %s [%s]", q->name,
                       q->mode ? "EXCLUDE" : "INCLUDE");
            uint32_t n = q->size < SOURCE_BATCH ? q->size : SOURCE_BATCH;
            for (uint32_t i = 0; i < n; i++)
                printf(" %s", ip_text(q->sources[i], ip));
            if (q->size < SOURCE_BATCH) {
                printf("\n");
                break;
            }
        }
    }
}

int show_mcast(const char *bridge) {
    static const char rule[] =
        "---------+------------------------+------------------------------\n";
    file mt(bridge, "mac_table");
    mt_info info;
    int rc = table_info(mt, &info);
    if (rc < 0)
        return rc;
    auto *q = (mt_mcast_ip_get_request *)malloc(sizeof(mt_mcast_ip_get_request) +
                                                SOURCE_BATCH * sizeof(uint32_t));
    if (!q)
        return -ENOMEM;
    printf("%s  Hash   |   Tag/MAC  || Group IP | Ports || Sources\n", rule);
    bool any = false;
    for (uint32_t b = 0; b < info.mcast_hash; b++)
        for (uint32_t pos = 0;; pos++) {
            mt_mcast_entry_request e = {};
            e.bucket = b;
            e.position = pos;
            e.port_index = MT_PORT_ITSELF;
            if (mt.call(MT_IOCTL_MCAST_ENTRY_GET, &e) < 0)
                break;
            if (pos == 0)
                printf("%s%08x |                        |\n", rule, b);
            any = true;
            printf("         | %02x:%02x:%02x:%02x:%02x:%02x/%4d |", e.mac[0], e.mac[1], e.mac[2],
                   e.mac[3], e.mac[4], e.mac[5], e.vid);
            for (uint32_t port = 0;; port++) {
                mt_mcast_entry_request pe = {};
                pe.bucket = b;
                pe.position = pos;
                pe.port_index = port;
                if (mt.call(MT_IOCTL_MCAST_ENTRY_GET, &pe) < 0)
                    break;
                pe.name[JXBRIDGE_NAME_FIELD - 1] = '\0';
                printf(" %s", pe.name);
            }
            printf("\n");
            for (uint32_t g = 0;; g++) {
                memset(q, 0, sizeof(*q));
                q->bucket = b;
                q->entry = pos;
                q->group_position = g;
                q->port_index = MT_PORT_ITSELF;
                q->size = SOURCE_BATCH;
                if (mt.call(MT_IOCTL_MCAST_IP_GET, q) < 0)
                    break;
                show_group(mt, q);
            }
            printf("         |                        |\n");
        }
    if (!any)
        printf("%s                      N o   e n t r i e s\n"
               "-----------------------------------------------------------------\n",
               rule);
    printf("\n");
    free(q);
    return 0;
}

// VLAN 4095 means "no VLAN" and has no entries: the table takes 1-4094.
int mt_vid(const char *word, uint16_t *vid) {
    if (brctl_parse_vid(word, vid) == 0 && *vid <= 4094)
        return 0;
    printf("VID must be in 1-4094 range.\n");
    return -EINVAL;
}

int mcast_mac(int argc, char **argv, bool add) {
    if (argc != 9)
        return brctl_usage(add ? U_MT_MAC_ADD : U_MT_MAC_DEL, argv[0]);
    mt_mcast_mac_request r = {};
    if (brctl_parse_mac(argv[6], r.mac)) {
        printf("MAC address must be in xx:xx:xx:xx:xx:xx form.\n");
        return -EINVAL;
    }
    if (mt_vid(argv[7], &r.vid))
        return -EINVAL;
    int rc = brctl_port_name(r.name, argv[8]);
    if (rc)
        return rc;
    rc = brctl_call(argv[1], "mac_table", add ? MT_IOCTL_MCAST_MAC_ADD : MT_IOCTL_MCAST_MAC_DEL,
                    (unsigned long)&r);
    if (rc < 0)
        printf(add ? "Unable to add port.\n" : "Unable to delete port.\n");
    return rc;
}

int ip_word(const char *word, uint32_t *ip) {
    if (brctl_parse_ipv4(word, ip)) {
        printf("IP address must be in x.y.z.w form ('%s' is not).\n", word);
        return -EINVAL;
    }
    return 0;
}

// Group, VID and port of the ip commands, from argv[6..8].
int mcast_ip_head(char **argv, mt_mcast_ip_request *r) {
    if (mt_vid(argv[6], &r->vid))
        return -EINVAL;
    int rc = ip_word(argv[7], &r->group);
    return rc ? rc : brctl_port_name(r->name, argv[8]);
}

int mcast_ip_set(int argc, char **argv) {
    if (argc < 10)
        return brctl_usage(U_MT_IP_SET, argv[0]);
    size_t n = (size_t)argc - 10;
    auto *r = (mt_mcast_ip_request *)calloc(1, sizeof(mt_mcast_ip_request) + n * sizeof(uint32_t));
    if (!r)
        return -ENOMEM;
    int rc = mcast_ip_head(argv, r);
    if (!rc && strcmp(argv[9], "include") && strcmp(argv[9], "exclude")) {
        printf("Mode has to be 'include' or 'exclude'.\n");
        rc = -EINVAL;
    }
    r->mode = !strcmp(argv[9], "exclude");
    r->count = (uint32_t)n;
    for (size_t i = 0; i < n && !rc; i++)
        rc = ip_word(argv[10 + i], &r->sources[i]);
    if (!rc && (rc = brctl_call(argv[1], "mac_table", MT_IOCTL_MCAST_IP_SET, (unsigned long)r)) < 0)
        printf("Unable to add port.\n");
    free(r);
    return rc;
}

int mcast_ip_del(int argc, char **argv) {
    if (argc != 9)
        return brctl_usage(U_MT_IP_DEL, argv[0]);
    mt_mcast_ip_request r = {};
    int rc = mcast_ip_head(argv, &r);
    if (rc)
        return rc;
    rc = brctl_call(argv[1], "mac_table", MT_IOCTL_MCAST_IP_DEL, (unsigned long)&r);
    if (rc < 0)
        printf("Unable to delete port.\n");
    return rc;
}

int show(int argc, char **argv) {
    static const struct {
        const char *word;
        int usage;
        int (*fn)(const char *bridge);
    } views[] = {{"general", U_MT_GENERAL, show_general},
                 {"ports", U_MT_PORTS, show_ports},
                 {"ucast", U_MT_UCAST, show_ucast},
                 {"mcast", U_MT_MCAST, show_mcast}};
    const char *what = argc > 4 ? argv[4] : "";
    for (const auto &v : views)
        if (!strcmp(what, v.word))
            return argc == 5 ? v.fn(argv[1]) : brctl_usage(v.usage, argv[0]);
    if (strcmp(what, "all"))
        return brctl_usage_group(U_MT_GENERAL, U_MT_ALL, argv[0]);
    if (argc != 5)
        return brctl_usage(U_MT_ALL, argv[0]);
    int sum = 0;
    for (const auto &v : views) {
        if (&v != views)
            printf("\n");
        sum += v.fn(argv[1]);
    }
    return sum;
}

} // namespace

int brctl_mt(int argc, char **argv) {
    const char *sub = argc > 3 ? argv[3] : "";
    if (!strcmp(sub, "show"))
        return show(argc, argv);
    if (strcmp(sub, "mcast"))
        return brctl_usage_group(U_MT_GENERAL, U_MT_IP_DEL, argv[0]);
    const char *kind = argc > 4 ? argv[4] : "";
    const char *op = argc > 5 ? argv[5] : "";
    if (!strcmp(kind, "mac") && (!strcmp(op, "add") || !strcmp(op, "del")))
        return mcast_mac(argc, argv, op[0] == 'a');
    if (!strcmp(kind, "ip") && !strcmp(op, "set"))
        return mcast_ip_set(argc, argv);
    if (!strcmp(kind, "ip") && !strcmp(op, "del"))
        return mcast_ip_del(argc, argv);
    return brctl_usage_group(U_MT_MAC_ADD, U_MT_IP_DEL, argv[0]);
}
