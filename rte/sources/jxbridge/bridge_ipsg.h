// IP source guard: the per-bridge state and the operations its control file
// calls. Everything runs under jxbridge_lock, the frame path included.
#pragma once

#include "jxbridge.h"

#define IPSG_VLAN_BYTES 512 // 4096 bits
#define IPSG_MODE_IP_MAC 0
#define IPSG_MODE_IP 1
#define IPSG_DEFAULT_LIMIT 200
#define IPSG_NO_VID 4095
#define IPSG_LKUP_L3_SIP 0x10

struct ipsg_binding {
    struct ipsg_binding *prev, *next;
    u32 expiry; // wall-clock seconds; 0: static
    struct ipsg_ip ip;
    u32 prefix;
    u8 mac[6];
    u16 vid;
    u32 matched;
};

struct ipsg_port {
    u8 vlans4[IPSG_VLAN_BYTES];
    u8 vlans6[IPSG_VLAN_BYTES];
    u32 mode;
    u32 limit;
    u32 count; // bindings held, never more than the list's length
    u32 learn;
    u32 dropped4, dropped6;
    struct ipsg_binding *bindings; // newest first
};

struct ipsg_data {
    struct jxbridge *bridge;
    u32 debug;
    u32 ipv4, ipv6;
    u32 learners;            // ports that learn from leases: none, and off, lets frames by
    struct ipsg_port *ports; // one per slot of the bridge
};

#define IPSG_TRACE(g, ...)                                                                         \
    do {                                                                                           \
        if ((g)->debug)                                                                            \
            printk(KERN_INFO __VA_ARGS__);                                                         \
    } while (0)

// All return 0 or a negative errno.
int ipsg_state_set(struct ipsg_data *g, u32 family, u32 state);
int ipsg_state_get(struct ipsg_data *g, u32 family, u32 *state);
int ipsg_port_state_set(struct ipsg_data *g, struct jxbridge_port *port, u32 family, u32 state);
int ipsg_vlan_state_set(struct ipsg_data *g, struct jxbridge_port *port, u32 vid, u32 enable,
                        u32 ipv4, u32 ipv6);
int ipsg_clear_vlans(struct ipsg_data *g, struct jxbridge_port *port);
int ipsg_port_mode_set(struct ipsg_data *g, struct jxbridge_port *port, u32 mode);
int ipsg_port_learn_set(struct ipsg_data *g, struct jxbridge_port *port, u32 on);
int ipsg_port_limits_set(struct ipsg_data *g, struct jxbridge_port *port, u32 limit);
// ttl 0: static; otherwise the binding matches for ttl seconds from now.
int ipsg_port_bindings_add_ttl(struct ipsg_data *g, struct jxbridge_port *port, u32 ttl,
                               const u8 *mac, u16 vid, const struct ipsg_ip *ip, u32 prefix);
int ipsg_port_bindings_del(struct ipsg_data *g, struct jxbridge_port *port, const u8 *mac, u16 vid,
                           const struct ipsg_ip *ip);
int ipsg_port_bindings_get(struct ipsg_data *g, struct jxbridge_port *port, u32 index,
                           struct ipsg_binding **out);
// First VLAN at or after from guarded in a globally enabled family; 4096 when none.
u32 ipsg_port_vlan_get_next(struct ipsg_data *g, struct jxbridge_port *port, u32 from, u32 *ipv4,
                            u32 *ipv6);
struct ipsg_port *ipsg_port_of(struct ipsg_data *g, struct jxbridge_port *port);
bool ipsg_binding_live(const struct ipsg_binding *b, u32 now);
void ipsg_ip_text(const struct ipsg_ip *ip, char *buf, size_t size);

extern const struct file_operations ipsg_fops;
