// VLAN commands: requests on the bridge's "vlan" file. Port names go into the
// records; the failure messages show the port word as a number, as the line
// card's ports are numbered.
#include "jxbrctl/jxbrctl.h"

#include "ctl/jxctl.h"
#include "jxbridge/jxbridge_ioctl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One request on the bridge's vlan file.
int call(char **argv, unsigned long cmd, const void *rec) {
    return brctl_call(argv[1], "vlan", cmd, (unsigned long)rec);
}

int vid_word(const char *word, uint16_t *vid) {
    if (brctl_parse_vid(word, vid)) {
        printf("VID must be in 1-4095 range.\n");
        return -EINVAL;
    }
    return 0;
}

int on_port(int argc, char **argv, bool add) {
    if (argc != 5)
        return brctl_usage(add ? U_ADD_ON_PORT : U_DEL_ON_PORT, argv[0]);
    vlan_port_vid_request r = {};
    int rc = vid_word(argv[4], &r.vid);
    if (rc || (rc = brctl_port_name(r.name, argv[3])))
        return rc;
    rc = call(argv, add ? VLAN_IOCTL_MEMBERSHIP_ADD : VLAN_IOCTL_MEMBERSHIP_DEL, &r);
    if (rc < 0)
        printf(add ? "Error to add VLAN %d on port %d.\n" : "Error to delete VID %d on port %d.\n",
               r.vid, atoi(argv[3]));
    return rc;
}

int pvid_on_port(int argc, char **argv) {
    if (argc != 5 && argc != 6)
        return brctl_usage(U_PVID_ON_PORT, argv[0]);
    vlan_port_vid_request r = {};
    r.outer_vid = 4095;
    int rc = 0;
    if (argc == 6)
        rc = vid_word(argv[4], &r.outer_vid);
    if (rc || (rc = vid_word(argv[argc - 1], &r.vid)) || (rc = brctl_port_name(r.name, argv[3])))
        return rc;
    rc = call(argv, VLAN_IOCTL_PVID_SET, &r);
    if (rc < 0)
        printf("Error to set PVID %d on port %d.\n", r.vid, atoi(argv[3]));
    return rc;
}

int accept_on_port(int argc, char **argv) {
    if (argc != 5)
        return brctl_usage(U_ACCEPT_ON_PORT, argv[0]);
    const char *type = argv[4];
    if (strcmp(type, "tagged") && strcmp(type, "untagged") && strcmp(type, "admit_all")) {
        printf("Acceptable <type> values are: tagged untagged admit_all\n");
        return -EINVAL;
    }
    vlan_port_vid_request r = {};
    int rc = brctl_port_name(r.name, argv[3]);
    if (rc)
        return rc;
    memcpy(r.accept, type, strlen(type)); // at most 9 characters: NUL-terminated
    rc = call(argv, VLAN_IOCTL_ACCEPTABLE_SET, &r);
    if (rc < 0)
        printf("Error to set acceptable on port %d.\n", atoi(argv[3]));
    return rc;
}

int tag_on_port(int argc, char **argv) {
    if (argc != 6)
        return brctl_usage(U_TAG_ON_PORT, argv[0]);
    vlan_port_vid_request r = {};
    int rc = vid_word(argv[4], &r.vid);
    if (rc)
        return rc;
    const char *state = argv[5];
    if (strcmp(state, "keep") && strcmp(state, "remove")) {
        printf("Acceptable <state> values are: keep remove\n");
        return -EINVAL;
    }
    if ((rc = brctl_port_name(r.name, argv[3])))
        return rc;
    r.outer_vid = 4095;
    r.tagged = !strcmp(state, "keep");
    rc = call(argv, VLAN_IOCTL_TAG_SET, &r);
    if (rc < 0)
        printf("Error to set VLAN tag %d on port %d, state '%s'.\n", r.vid, atoi(argv[3]), state);
    return rc;
}

int remark(int argc, char **argv) {
    if (argc != 5)
        return brctl_usage(U_REMARK, argv[0]);
    const char *state = argv[4];
    if (strcmp(state, "enable") && strcmp(state, "disable")) {
        printf("Acceptable <state> values are: enable disable\n");
        return -EINVAL;
    }
    vlan_port_value_request r = {};
    int rc = brctl_port_name(r.name, argv[3]);
    if (rc)
        return rc;
    r.value8 = !strcmp(state, "enable");
    rc = call(argv, VLAN_IOCTL_REMARK_MODE_SET, &r);
    if (rc < 0)
        printf("Error setting remarking on '%s' to state '%s'.\n", argv[3], state);
    return rc;
}

// Rules of direction "both": the text commands know only ingress and egress.
int remark_rule(int argc, char **argv, bool add) {
    if (argc != 6)
        return brctl_usage(add ? U_ADD_REMARK_RULE : U_DEL_REMARK_RULE, argv[0]);
    uint32_t src, dst;
    if (brctl_parse_tag(argv[4], &src) || brctl_parse_tag(argv[5], &dst)) {
        printf("Tags and masks must be in 0-0xffff range.\n");
        return -EINVAL;
    }
    vlan_remark_request r = {};
    int rc = brctl_port_name(r.name, argv[3]);
    if (rc)
        return rc;
    r.in_vid = (uint16_t)src;
    r.out_vid = (uint16_t)dst;
    rc = call(argv, add ? VLAN_IOCTL_REMARK_ADD : VLAN_IOCTL_REMARK_DEL, &r);
    if (rc < 0)
        printf(add ? "Error adding remark rule.\n" : "Error deleting remark rule.\n");
    return rc;
}

// The add leaves the range to the module.
int vlan_add_del(int argc, char **argv, bool add) {
    if (argc != 5)
        return brctl_usage(add ? U_VLAN_ADD : U_VLAN_DEL, argv[0]);
    uint32_t vid = 0;
    int rc = brctl_parse_tag(argv[4], &vid);
    // VLAN 0 is no configurable VID; above 4094 the node answers for itself.
    if (rc || vid < 1 || (!add && vid > 4095)) {
        printf("VID must be in 1-4095 range.\n");
        return -EINVAL;
    }
    rc = brctl_call(argv[1], "vlan", add ? VLAN_IOCTL_ADD : VLAN_IOCTL_DEL, vid);
    if (rc < 0)
        printf(add ? "Error to show VLAN information.\n" : "Error showing VLAN information.\n");
    return rc;
}

int vlan_show(int argc, char **argv) {
    if (argc != 4)
        return brctl_usage(U_VLAN_SHOW, argv[0]);
    int h = brctl_open_bridge_file(argv[1], "vlan");
    if (h < 0)
        return h;
    for (uint32_t vid = 0; vid <= 4095; vid++) {
        vlan_name_request r = {};
        r.vid = (uint16_t)vid;
        if (jxctl_ioctl(h, VLAN_IOCTL_NAME_GET, (unsigned long)&r) >= 0)
            printf("%d\n", (int)vid);
    }
    jxctl_close(h);
    return 0;
}

int mpmm_add(int argc, char **argv) {
    if (argc != 11)
        return brctl_usage(U_MPMM_ADD, argv[0]);
    uint8_t mask[6], mac[6];
    if (brctl_parse_mac(argv[7], mask)) {
        printf("Group mask must be in xx:xx:xx:xx:xx:xx format.\n");
        return -EINVAL;
    }
    if (mask[0] != 0xff || mask[1] != 0xff || mask[2] != 0xff || !(mask[3] & 0x80)) {
        printf("%02x:%02x:%02x:%02x:%02x:%02x is not a multicast mask.\n", mask[0], mask[1],
               mask[2], mask[3], mask[4], mask[5]);
        return -EINVAL;
    }
    if (brctl_parse_mac(argv[8], mac)) {
        printf("Group MAC must be in xx:xx:xx:xx:xx:xx format.\n");
        return -EINVAL;
    }
    if (mac[0] != 0x01 || mac[1] != 0x00 || mac[2] != 0x5e || (mac[3] & 0x80)) {
        printf("%02x:%02x:%02x:%02x:%02x:%02x is not a multicast address.\n", mac[0], mac[1],
               mac[2], mac[3], mac[4], mac[5]);
        return -EINVAL;
    }
    vlan_mpmm_entry e = {};
    if (brctl_parse_vid(argv[9], &e.vid)) {
        printf("Source S-Tag must be in 1-4095 range.\n");
        return -EINVAL;
    }
    if (brctl_parse_vid(argv[10], &e.new_vid)) {
        printf("Source C-Tag must be in 1-4095 range.\n");
        return -EINVAL;
    }
    vlan_mpmm_request r = {};
    int rc = brctl_port_name(r.name, argv[5]);
    if (rc)
        return rc;
    e.index = (uint32_t)atoi(argv[6]);
    memcpy(e.mac, mac + 3, sizeof(e.mac));
    memcpy(e.mask, mask + 3, sizeof(e.mask));
    static_assert(sizeof(e) == sizeof(r.entry));
    memcpy(r.entry, &e, sizeof(e));
    rc = call(argv, VLAN_IOCTL_MPMM_ADD, &r);
    if (rc < 0)
        printf("Error adding MPMM group (%d).\n", rc);
    return rc;
}

int mpmm_del(int argc, char **argv) {
    if (argc != 7)
        return brctl_usage(U_MPMM_DEL, argv[0]);
    vlan_port_value_request r = {};
    int rc = brctl_port_name(r.name, argv[5]);
    if (rc)
        return rc;
    r.value = (uint32_t)atoi(argv[6]);
    rc = call(argv, VLAN_IOCTL_MPMM_DEL, &r);
    if (rc < 0)
        printf("Error deleting MPMM group (%d).\n", rc);
    return rc;
}

// Walks the entries by position; running off the end is not a failure.
int mpmm_show(int argc, char **argv) {
    if (argc != 6)
        return brctl_usage(U_MPMM_SHOW, argv[0]);
    vlan_mpmm_request r = {};
    int rc = brctl_port_name(r.name, argv[5]);
    if (rc)
        return rc;
    int h = brctl_open_bridge_file(argv[1], "vlan");
    if (h < 0)
        return h;
    for (uint32_t pos = 0;; pos++) {
        r.position = pos;
        rc = (int)jxctl_ioctl(h, VLAN_IOCTL_MPMM_GET, (unsigned long)&r);
        if (rc < 0)
            break;
        if (pos == 0)
            printf("Pos\tIndex\tMask\tMAC\tIn VID\tOut VID\n");
        vlan_mpmm_entry e;
        memcpy(&e, r.entry, sizeof(e));
        printf("%d\t%d\tff:ff:ff:%02x:%02x:%02x\t01:00:5e:%02x:%02x:%02x\t%4d\t%4d\n", (int)pos,
               (int)e.index, e.mask[0], e.mask[1], e.mask[2], e.mac[0], e.mac[1], e.mac[2], e.vid,
               e.new_vid);
    }
    jxctl_close(h);
    return rc == -ENOENT ? 0 : rc;
}

} // namespace

int brctl_vlan_cmd(int argc, char **argv) {
    const char *cmd = argv[2];
    if (!strcmp(cmd, "addOnPort") || !strcmp(cmd, "delOnPort"))
        return on_port(argc, argv, cmd[0] == 'a');
    if (!strcmp(cmd, "pvidOnPort"))
        return pvid_on_port(argc, argv);
    if (!strcmp(cmd, "acceptOnPort"))
        return accept_on_port(argc, argv);
    if (!strcmp(cmd, "tagOnPort"))
        return tag_on_port(argc, argv);
    if (!strcmp(cmd, "remark"))
        return remark(argc, argv);
    if (!strcmp(cmd, "addRemarkRule") || !strcmp(cmd, "delRemarkRule"))
        return remark_rule(argc, argv, cmd[0] == 'a');

    // "vlan ..."
    const char *prog = argv[0];
    const char *sub = argc > 3 ? argv[3] : "";
    if (!strcmp(sub, "add") || !strcmp(sub, "del"))
        return vlan_add_del(argc, argv, sub[0] == 'a');
    if (!strcmp(sub, "show"))
        return vlan_show(argc, argv);
    if (strcmp(sub, "mpmm"))
        return brctl_usage_group(U_VLAN_ADD, U_MPMM_SHOW, prog);
    const char *op = argc > 4 ? argv[4] : "";
    if (!strcmp(op, "add"))
        return mpmm_add(argc, argv);
    if (!strcmp(op, "del"))
        return mpmm_del(argc, argv);
    if (!strcmp(op, "show"))
        return mpmm_show(argc, argv);
    return brctl_usage_group(U_MPMM_ADD, U_MPMM_SHOW, prog);
}
