// jxbrctl: creates bridges and inspects or changes them through the control
// files under /proc/net/jxbridge. One command per run; its result is the exit
// status.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include "jxbridge/jxbridge_ioctl.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

int brctl_open(const char *path, int flags) {
    int h = jxctl_open(path, flags);
    if (h < 0)
        printf("Error opening file '%s'.\n", path);
    return h;
}

int brctl_open_bridge_file(const char *bridge, const char *file) {
    char path[200];
    int n = snprintf(path, sizeof(path), JXBRCTL_PROC_DIR "/%s/%s", bridge, file);
    if (n < 0 || (size_t)n >= sizeof(path)) {
        printf("Error opening file '%s'.\n", path);
        return -ENAMETOOLONG;
    }
    return brctl_open(path, O_RDONLY);
}

int brctl_call(const char *bridge, const char *file, unsigned long cmd, unsigned long arg) {
    int h = brctl_open_bridge_file(bridge, file);
    if (h < 0)
        return h;
    int rc = (int)jxctl_ioctl(h, cmd, arg);
    jxctl_close(h);
    return rc;
}

int brctl_each_port(int h, const std::function<void(port_request &)> &fn) {
    port_request r = {};
    r.port_no = JXBRIDGE_PORT_ANY;
    int rc = (int)jxctl_ioctl(h, BRIDGE_IOCTL_PORT_GET, (unsigned long)&r);
    if (rc < 0)
        return rc;
    const uint32_t slots = r.port_no;
    for (uint32_t i = 0; i < slots; i++) {
        r = {};
        r.port_no = i;
        if (jxctl_ioctl(h, BRIDGE_IOCTL_PORT_GET, (unsigned long)&r) < 0)
            continue;
        r.name[JXBRIDGE_NAME_FIELD - 1] = '\0';
        fn(r);
    }
    return 0;
}

int brctl_parse_tag(const char *word, uint32_t *out) {
    char *end = nullptr;
    errno = 0;
    unsigned long v =
        strncmp(word, "0x", 2) == 0 ? strtoul(word + 2, &end, 16) : strtoul(word, &end, 10);
    if (errno || end == word || *end || v > 0xFFFF || word[0] == '-')
        return -EINVAL;
    *out = (uint32_t)v;
    return 0;
}

int brctl_parse_vid(const char *word, uint16_t *out) {
    uint32_t v;
    if (brctl_parse_tag(word, &v) || v < 1 || v > 4095)
        return -EINVAL;
    *out = (uint16_t)v;
    return 0;
}

int brctl_parse_mac(const char *word, uint8_t mac[6]) {
    unsigned v[6];
    char tail;
    if (sscanf(word, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
        return -EINVAL;
    for (int i = 0; i < 6; i++) {
        if (v[i] > 0xFF)
            return -EINVAL;
        mac[i] = (uint8_t)v[i];
    }
    return 0;
}

int brctl_parse_ipv4(const char *word, uint32_t *out) {
    int v[4];
    int end = -1;
    if (sscanf(word, "%d.%d.%d.%d%n", &v[0], &v[1], &v[2], &v[3], &end) != 4 || word[end])
        return -EINVAL;
    uint32_t ip = 0;
    for (int g : v) {
        if (g < 0 || g > 255)
            return -EINVAL;
        ip = ip << 8 | (uint32_t)g;
    }
    *out = ip;
    return 0;
}

int brctl_copy_name(char *field, size_t field_size, const char *word, const char *what) {
    size_t len = strlen(word);
    if (len >= field_size) {
        printf("%s name can only be %d characters long.\n", what, (int)field_size - 1);
        return -EINVAL;
    }
    memset(field, 0, field_size);
    memcpy(field, word, len);
    return 0;
}

int brctl_port_name(char *field, const char *word) {
    return brctl_copy_name(field, JXBRIDGE_NAME_FIELD, word, "Port");
}

// What follows the program name; the add and del lines start without a tab.
static const char *const usage_lines[U_COUNT] = {
    " add <bridge_name> <max_ports>\n",
    " del <bridge_name>\n",
    " <bridge_name> info\n",
    " <bridge_name> if <port_name>\n",
    " <bridge_name> dif <port_name>\n",
    " <bridge_name> show\n",
    " <bridge_name> stat <port <port_name> | all | all_uplinks>\n",
    " <bridge_name> addOnPort <port> <vid>\n",
    " <bridge_name> delOnPort <port> <vid>\n",
    " <bridge_name> pvidOnPort <port> [<outer_vid>] <inner_vid>\n",
    " <bridge_name> acceptOnPort <port> <type>\n",
    " <bridge_name> tagOnPort <port> <cvid> <state>\n",
    " <bridge_name> remark <port> <state>\n",
    " <bridge_name> addRemarkRule <port> <src_vid> <dst_vid>\n",
    " <bridge_name> delRemarkRule <port> <src_vid> <dst_vid>\n",
    " <bridge_name> vlan add <vid>\n",
    " <bridge_name> vlan del <vid>\n",
    " <bridge_name> vlan show\n",
    " <bridge_name> vlan mpmm add <port> <index> <group_mask> <group_mac> <in-vid> <out-vid>\n",
    " <bridge_name> vlan mpmm del <port> <index>\n",
    " <bridge_name> vlan mpmm show <port>\n",
    " <bridge_name> mt show general\n",
    " <bridge_name> mt show ports\n",
    " <bridge_name> mt show ucast\n",
    " <bridge_name> mt show mcast\n",
    " <bridge_name> mt show all\n",
    " <bridge_name> mt mcast mac add <mac> <vid> <port>\n",
    " <bridge_name> mt mcast mac del <mac> <vid> <port>\n",
    " <bridge_name> mt mcast ip set <vid> <ip> <port> <mode> (<source>)*\n",
    " <bridge_name> mt mcast ip del <vid> <ip> <port>\n",
    " <bridge_name> mn set <port>\n",
    " <bridge_name> localmac set <port>\n",
};

int brctl_usage(int id, const char *prog) {
    return printf("%s%s%s", id == U_ADD || id == U_DEL ? "" : "\t", prog, usage_lines[id]);
}

int brctl_usage_group(int first, int last, const char *prog) {
    for (int id = first; id <= last; id++)
        brctl_usage(id, prog);
    return -EINVAL;
}

static void usage_list(const char *prog) {
    printf("Supported commands:\n");
    for (int id = 0; id < U_COUNT; id++)
        brctl_usage(id, prog);
    brctl_flow_usage(prog);
}

static int bridge_add(int argc, char **argv) {
    if (argc != 4)
        return brctl_usage(U_ADD, argv[0]);
    char *end = nullptr;
    errno = 0;
    unsigned long max_ports = strtoul(argv[3], &end, 10);
    if (errno || end == argv[3] || *end || argv[3][0] == '-' || max_ports == 0 ||
        max_ports > UINT32_MAX) {
        printf("Cannot create bridge with '%s' max ports.\n", argv[3]);
        return -EINVAL;
    }
    jxbridge_ioctl_add rec = {};
    int rc = brctl_copy_name(rec.name, JXBRIDGE_NAME_FIELD, argv[2], "Bridge");
    if (rc)
        return rc;
    rec.max_ports = (uint32_t)max_ports;
    int h = brctl_open(JXBRCTL_PROC_DIR "/config", O_RDONLY);
    if (h < 0)
        return h;
    rc = (int)jxctl_ioctl(h, JXBRIDGE_IOCTL_ADD, (unsigned long)&rec);
    jxctl_close(h);
    if (rc < 0)
        printf("Error adding bridge '%s'.\n", argv[2]);
    return rc;
}

static int bridge_del(int argc, char **argv) {
    if (argc != 3)
        return brctl_usage(U_DEL, argv[0]);
    // The module reads a whole record from the pointer, whatever the name's length.
    jxbridge_ioctl_del rec;
    int rc = brctl_copy_name(rec.name, sizeof(rec.name), argv[2], "Bridge");
    if (rc)
        return rc;
    int h = brctl_open(JXBRCTL_PROC_DIR "/config", O_RDONLY);
    if (h < 0)
        return h;
    rc = (int)jxctl_ioctl(h, JXBRIDGE_IOCTL_DEL, (unsigned long)rec.name);
    jxctl_close(h);
    if (rc < 0)
        printf("Error deleting bridge\n");
    return rc;
}

static bool is_one_of(const char *word, const char *const *list) {
    for (; *list; list++)
        if (!strcmp(word, *list))
            return true;
    return false;
}

int main(int argc, char **argv) {
    int h = jxctl_open(JXBRCTL_PROC_DIR "/config", O_RDONLY);
    if (h < 0) {
        printf("Bridge module is probably not loaded.\n");
        return h;
    }
    uint32_t version = 0;
    long rc = jxctl_ioctl(h, JXBRIDGE_IOCTL_API_VERSION, (unsigned long)&version);
    jxctl_close(h);
    if (rc < 0) {
        printf("Kernel module is too old.\n");
        return -8;
    }
    if (version != JXBRCTL_API_VERSION) {
        printf("`%s` uses different API version (%d) than kernel module (%d).\n", argv[0],
               JXBRCTL_API_VERSION, (int)version);
        return -8;
    }
    const char *prog = argv[0];
    if (argc < 2) {
        usage_list(prog);
        return 0;
    }
    if (!strcmp(argv[1], "add"))
        return bridge_add(argc, argv);
    if (!strcmp(argv[1], "del"))
        return bridge_del(argc, argv);

    char path[200];
    int n = snprintf(path, sizeof(path), JXBRCTL_PROC_DIR "/%s/bridge", argv[1]);
    h = n > 0 && (size_t)n < sizeof(path) ? jxctl_open(path, O_RDONLY) : -ENAMETOOLONG;
    if (h < 0) {
        printf("Bridge '%s' does not exist.\n", argv[1]);
        return h;
    }
    jxctl_close(h);
    if (argc == 2) {
        usage_list(prog);
        return 0;
    }

    static const char *const port_cmds[] = {"info", "if", "dif", "show", "mn", "localmac", nullptr};
    static const char *const vlan_cmds[] = {
        "addOnPort", "delOnPort",     "pvidOnPort",    "acceptOnPort", "tagOnPort",
        "remark",    "addRemarkRule", "delRemarkRule", "vlan",         nullptr};
    const char *cmd = argv[2];
    if (is_one_of(cmd, port_cmds))
        return brctl_port_cmd(argc, argv);
    if (!strcmp(cmd, "stat"))
        return brctl_stat(argc, argv);
    if (is_one_of(cmd, vlan_cmds))
        return brctl_vlan_cmd(argc, argv);
    if (!strcmp(cmd, "mt"))
        return brctl_mt(argc, argv);
    if (!strcmp(cmd, "flow")) {
        if (argc >= 4)
            return brctl_flow(argc, argv);
        brctl_flow_usage(prog);
        return -EINVAL;
    }
    bool handled = false;
    int result = brctl_devtest(argc, argv, &handled);
    if (handled)
        return result;
    // An unknown command is not a success.
    usage_list(prog);
    return -EINVAL;
}
