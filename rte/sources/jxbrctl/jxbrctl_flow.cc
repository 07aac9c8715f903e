// Flow commands: requests to the outside flow manager's file.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include "jxbridge/jxbridge_ioctl.h"
#include "linecard/flowmgr_records.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#define FLOW_USAGE_LIST                                                                            \
    "\t%s <bridge_name> flow show list [port <portno> | iport <portno> | eport <portno> | dmac "   \
    "<mac> | smac <mac> | vlan <vlan>]\n"
#define FLOW_USAGE_SUMMARY "\t%s <bridge_name> flow show summary [port <portno>]\n"
#define FLOW_USAGE_TARN "\t%s <bridge_name> flow show tarn\n"
#define FLOW_USAGE_FLUSH "\t%s <bridge_name> flow flush [port <portno>]\n"
#define FLOW_USAGE_DEBUG "\t%s <bridge_name> flow debug counters clear\n"

static const char list_rule[] =
    "+------+-----+----------+---+-----+-----+--------+-----+--------+-----------------+-------"
    "----------+-----+-----+-----------------------------+----------+\n";
static const char summary_rule[] =
    "+----+-----+-----+----------+----------+----------+----------+--"
    "---+-----+-----+-----+-----+-----+-----+-----+-----+-----+\n";

// The file for requests by ioctl; the text commands open it with brctl_open.
static int flow_open_ro() {
    int h = jxctl_open(JXFLOW_PROC_PATH, O_RDONLY);
    if (h < 0)
        printf("can not open %s \n", JXFLOW_PROC_PATH);
    return h;
}

// A port number word: an optionally signed decimal that fits 32 bits.
static int parse_port_number(const char *word, long *out) {
    if (!word || !*word)
        return -EINVAL;
    char *end = nullptr;
    errno = 0;
    long v = strtol(word, &end, 10);
    if (errno || end == word || *end || v < INT32_MIN || v > (long)UINT32_MAX)
        return -EINVAL;
    *out = v;
    return 0;
}

static const char *flow_type_name(uint8_t flags) {
    switch (flags >> JXFLOW_TYPE_SHIFT) {
    case JXFLOW_TYPE_UNICAST:
        return "1:UNK";
    case JXFLOW_TYPE_MCAST:
        return "2:MC";
    case JXFLOW_TYPE_PPP:
        return "4:PPP";
    case JXFLOW_TYPE_RTP:
        return "8:RTP";
    case JXFLOW_TYPE_ALL:
        return "F:ALL";
    default:
        return "";
    }
}

enum list_filter {
    FILTER_NONE,
    FILTER_PORT,
    FILTER_IPORT,
    FILTER_EPORT,
    FILTER_DMAC,
    FILTER_SMAC,
    FILTER_VLAN
};

struct list_selection {
    list_filter what = FILTER_NONE;
    uint32_t port = 0;
    uint8_t mac[6] = {};
    uint32_t vid = 0;
};

static bool selected(const list_selection &sel, const jxflow_record &r) {
    switch (sel.what) {
    case FILTER_PORT:
        return r.in_port == sel.port || r.out_port == sel.port;
    case FILTER_IPORT:
        return r.in_port == sel.port;
    case FILTER_EPORT:
        return r.out_port == sel.port;
    case FILTER_DMAC:
        return !memcmp(r.dmac, sel.mac, 6);
    case FILTER_SMAC:
        return !memcmp(r.smac, sel.mac, 6);
    case FILTER_VLAN:
        return r.vid == sel.vid;
    default:
        return true;
    }
}

// The filter words; -EINVAL (with its message, if any) for a bad value.
static int parse_selection(const char *word, const char *value, list_selection *sel) {
    if (!strcmp(word, "port") || !strcmp(word, "iport") || !strcmp(word, "eport")) {
        long port;
        if (parse_port_number(value, &port))
            return -EINVAL;
        sel->what = word[0] == 'p' ? FILTER_PORT : word[0] == 'i' ? FILTER_IPORT : FILTER_EPORT;
        sel->port = (uint32_t)port;
        return 0;
    }
    if (!strcmp(word, "dmac") || !strcmp(word, "smac")) {
        if (brctl_parse_mac(value, sel->mac)) {
            printf("MAC address must be in xx:xx:xx:xx:xx:xx form.\n");
            return -EINVAL;
        }
        sel->what = word[0] == 'd' ? FILTER_DMAC : FILTER_SMAC;
        return 0;
    }
    if (!strcmp(word, "vlan")) {
        if (brctl_parse_tag(value, &sel->vid) || sel->vid < 1 || sel->vid > 4095) {
            printf("VID must be in 1-4095 range.\n");
            return -EINVAL;
        }
        sel->what = FILTER_VLAN;
        return 0;
    }
    return 0; // an unknown filter lists every flow
}

static void print_flow(const jxflow_record &r) {
    const uint8_t *d = r.dmac, *s = r.smac, *u = r.rules;
    printf("|%06d|%05d|0x%08x|%3s|%5s|%5d|%3d:%-4d|%5d|%3d:%-4d|%02x:%02x:%02x:%02x:%02x:%02x|%02x:"
           "%02x:%02x:%02x:%02x:%02x|%5d|%5x|0x%02x,0x%02x,0x%02x,0x%02x,0x%02x,0x%02x|0x%08x|\n",
           (int)r.id, (int)r.next, r.crc32, r.flags & JXFLOW_F_EXTENDED ? "EX" : "NR",
           flow_type_name(r.flags), (int)r.in_port, (int)r.in_ucc, (int)r.in_subport,
           (int)r.out_port, (int)r.out_ucc, (int)r.out_subport, d[0], d[1], d[2], d[3], d[4], d[5],
           s[0], s[1], s[2], s[3], s[4], s[5], r.tci & 0xFFF, (unsigned)r.ethertype, u[0], u[1],
           u[2], u[3], u[4], u[5], r.counter);
}

static const char rule_legend[] =
    "Rule 0x00: Drop Packet\nRule 0x01: Forward packet to QE\nRule 0x02: Forward packet to "
    "CPU\nRule 0x03: Add VLAN tag\nRule 0x04: Remove VLAN tag\nRule 0x05: Change VLAN tag\nRule "
    "0x06: Second Classify\nRule 0x07: Policing\nRule 0x08: Replace SRC header fields\nRule "
    "0x09: Replace DEST header fields\nRule 0x0A: Reserved\nRule 0x0B: Reserved\nRule 0x0C: Rule "
    "for timestamping flow\nRule 0x0D: Rule for updating packet counters\nRule 0x0E: Add VLAN "
    "tag\nRule 0x0F: Remove VLAN tag\nRule 0x10: Change VLAN tag\nRule 0x11: Rule Set TOS\n";

static int flow_show_list(int argc, char **argv) {
    list_selection sel;
    if (argc == 7) {
        int rc = parse_selection(argv[5], argv[6], &sel);
        if (rc)
            return rc;
    }
    int h = flow_open_ro();
    if (h < 0)
        return h;
    printf("%s", list_rule);
    printf("|flowID|Next |crc32     |Ver|Type |iPort|iUcc:Sub|ePort|eUCC:Sub|DMAC             "
           "|SMAC             |VLAN |ETYPE|rules                        |counter   |\n");
    printf("%s", list_rule);
    long rc = 0;
    int all = 0, extended = 0;
    for (uint32_t i = 0; i < JXFLOW_TABLE_SIZE; i++) {
        jxflow_record r = {};
        r.id = i;
        rc = jxctl_ioctl(h, JXFLOW_IOCTL_FLOW_GET, (unsigned long)&r);
        if (rc < 0 || !r.valid || !selected(sel, r))
            continue;
        print_flow(r);
        all++;
        extended += (r.flags & JXFLOW_F_EXTENDED) != 0;
    }
    jxctl_close(h);
    printf("%s", list_rule);
    printf("\n     All flows: %d\n", all);
    printf("  Normal flows: %d\n", all - extended);
    printf("Extended flows: %d\n", extended);
    printf("Drop flow has ePort -1.\n");
    printf("\n# Rule list:\n");
    printf("%s", rule_legend);
    return (int)rc;
}

static const char *event_name(uint32_t code) {
    static const char *const names[] = {"VLAN",  "IGMP",  "QOS",   "MAC T", "MACFS",
                                        "MACFF", "MAC A", "MAC U", "ACL I", "ACL E",
                                        "IF",    "IMACV", "BR"};
    return code < sizeof(names) / sizeof(names[0]) ? names[code] : "";
}

static int flow_show_summary(int argc, char **argv) {
    bool one = argc == 7;
    uint32_t from = 0;
    if (one) {
        long port;
        if (strcmp(argv[5], "port"))
            return printf(FLOW_USAGE_SUMMARY, argv[0]);
        if (parse_port_number(argv[6], &port) || port < 0 || port > 0xFFFF)
            return -EINVAL;
        from = (uint32_t)port;
    }
    int b = brctl_open_bridge_file(argv[1], "bridge");
    if (b < 0)
        return b;
    bridge_info info = {};
    long rc = jxctl_ioctl(b, BRIDGE_IOCTL_INFO_GET, (unsigned long)&info);
    jxctl_close(b);
    if (rc < 0) {
        printf("Unable to get bridge info.\n");
        return (int)rc;
    }
    int h = flow_open_ro();
    if (h < 0)
        return h;
    jxflow_table_info t = {};
    if (jxctl_ioctl(h, JXFLOW_IOCTL_TABLE_GET, (unsigned long)&t) == 0) {
        printf("Flow table info:\n");
        printf("\ttable size                    :%d\n", (int)t.table_size);
        printf("\taging min rate                :%d\n", (int)t.aging_min_rate);
        printf("\tport aging timeout            :%d\n", (int)t.port_aging_timeout);
        printf("\tlimit exceed                  :%d\n", (int)t.limit_exceeded);
        printf("\treinitialization count        :%d\n", (int)t.reinits);
        printf("\tinternal buffer count         :%d\n", (int)t.buffers);
    }
    printf("\n%s", summary_rule);
    printf("|    |     |     |limit     |limit time|Full table|Forced add|    Events in HEX (32bit "
           "counter casted to 16bit)          |\n");
    printf("|Port|     |     |exceeded  | out      |          |          |                       "
           "| MT  | MT  | MT  |     |IfMAC|Last |\n");
    printf("|Port|Limit|Count|  (count) | (pkts)   |  (count) |  (count) |IGMP |VLAN | ACL | QOS "
           "|chang|updat| age | IF  | VID |event|\n");
    printf("%s", summary_rule);
    int sum = 0;
    // Inclusive of the maximum, as the operator's listing always was.
    for (uint64_t port = from; port <= info.max_ports; port++) {
        jxflow_port_record r = {};
        r.port = (uint32_t)port;
        if (jxctl_ioctl(h, JXFLOW_IOCTL_PORT_GET, (unsigned long)&r) < 0)
            continue;
        if (!one && r.count == 0)
            continue;
        printf("|%4d|%5d|%5d|%10d|%10d|%10d|%10d|%5d|%5d|%5d|%5d|%5d|%5d|%5d|%5d|%5d|%5s|\n",
               (int)port, (int)r.limit, (int)r.count, (int)r.limit_exceeded, (int)r.limit_timeout,
               (int)r.full_table, (int)r.forced_add, (uint16_t)r.ev_igmp, (uint16_t)r.ev_vlan,
               (uint16_t)(r.ev_acl_ingress + r.ev_acl_egress), (uint16_t)r.ev_qos,
               (uint16_t)r.ev_mt_change, (uint16_t)r.ev_mt_update, (uint16_t)r.ev_mt_age,
               (uint16_t)r.ev_if, (uint16_t)r.ev_if_mac_vid, event_name(r.last_event));
        sum += (int)r.count;
        if (one)
            break;
    }
    jxctl_close(h);
    printf("%s", summary_rule);
    printf("|  Sum:    |%5d|\n", sum);
    printf("+----+-----+-----+\n");
    return 0;
}

// One text command to the flow file: 0, or the failing call's result.
static int flow_write_text(const char *text) {
    int h = brctl_open(JXFLOW_PROC_PATH, O_RDWR);
    if (h < 0)
        return h;
    size_t n = strlen(text);
    ssize_t rc = jxctl_write(h, text, n);
    jxctl_close(h);
    if (rc < 0 || (size_t)rc != n) {
        printf("Error writing '%s' to file '%s', sizeofwritetext=%d.\n", text, JXFLOW_PROC_PATH,
               (int)n);
        return rc < 0 ? (int)rc : -EIO;
    }
    return 0;
}

static int flow_flush(int argc, char **argv) {
    if (argc == 4)
        return flow_write_text(JXFLOW_CMD_FLUSH);
    if (strcmp(argv[4], "port"))
        return printf("%s <bridge_name> flow flush [port <portno>]\n", argv[0]);
    // A port word that is no number must not flush port 0.
    long port;
    if (parse_port_number(argv[5], &port) || port < 0)
        return -EINVAL;
    char text[32];
    snprintf(text, sizeof(text), JXFLOW_CMD_FLUSH_PORT, (unsigned)port);
    return flow_write_text(text);
}

static int flow_debug_clear() {
    int h = flow_open_ro();
    if (h < 0)
        return h;
    long rc = jxctl_ioctl(h, JXFLOW_IOCTL_DEBUG_CLEAR, 0);
    jxctl_close(h);
    if (rc < 0)
        printf("Unable to clear flow debug data.\n");
    return (int)rc;
}

int brctl_flow(int argc, char **argv) {
    const char *prog = argv[0];
    const char *cmd = argv[3];
    if (!strcmp(cmd, "show") && argc >= 5) {
        const char *what = argv[4];
        if (!strcmp(what, "list"))
            return argc == 5 || argc == 7 ? flow_show_list(argc, argv)
                                          : printf(FLOW_USAGE_LIST, prog);
        if (!strcmp(what, "summary"))
            return argc == 5 || argc == 7 ? flow_show_summary(argc, argv)
                                          : printf(FLOW_USAGE_SUMMARY, prog);
        if (!strcmp(what, "tarn"))
            return argc == 5 ? flow_write_text(JXFLOW_CMD_SHOW_CPU) : printf(FLOW_USAGE_TARN, prog);
    } else if (!strcmp(cmd, "flush")) {
        return argc == 4 || argc == 6 ? flow_flush(argc, argv) : printf(FLOW_USAGE_FLUSH, prog);
    } else if (!strcmp(cmd, "debug")) {
        if (argc == 6 && !strcmp(argv[4], "counters") && !strcmp(argv[5], "clear"))
            return flow_debug_clear();
        return printf(FLOW_USAGE_DEBUG, prog);
    }
    // Not a flow command: the flow part of the usage list.
    printf("Supported commands:\n");
    brctl_flow_usage(prog);
    return -EINVAL;
}

void brctl_flow_usage(const char *prog) {
    printf(FLOW_USAGE_LIST, prog);
    printf(FLOW_USAGE_SUMMARY, prog);
    printf(FLOW_USAGE_TARN, prog);
    printf(FLOW_USAGE_FLUSH, prog);
    printf(FLOW_USAGE_DEBUG, prog);
}
