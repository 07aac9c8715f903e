// The bridge's VLAN engine: membership, tagging and Q-in-Q rules.
#pragma once

#include "kernel/types.h"

struct jxbridge;
struct jxbridge_port;
struct sk_buff;
struct vlan_data;

int vlan_set_ethertype(struct jxbridge *bridge, u16 ethertype);
u16 vlan_get_ethertype(struct jxbridge *bridge);
