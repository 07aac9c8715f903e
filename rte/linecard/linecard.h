// Stand-ins for the line card's outside components.
#pragma once

#include "kernel/types.h"

#include <string>

// Physical memory windows (see memory.cc).
#define LINECARD_CCSR_BASE 0x01000000ull
#define LINECARD_CCSR_SIZE 0x01000000ull
#define LINECARD_SRAM_BASE 0x18000000ull
#define LINECARD_SRAM_SIZE 0x00100000ull
#define LINECARD_DRAM_BASE 0x80000000ull
#define LINECARD_DRAM_SIZE 0x04000000ull

void linecard_memory_init();
// Releases the simulated memory; mappings into it must be gone.
void linecard_memory_fini();

// Ethernet driver (ethdrv.cc): the line card's e1000e stand-in. Its exported
// hook variable is where the bridge points when a bridge comes up; a frame
// handed to the hook belongs to the hook whatever it answers.
struct net_device;
struct sk_buff;
extern int (*e1000e_process_frame_hook)(struct sk_buff *skb);
// Publishes the driver's symbols; call before the modules load.
void linecard_ethdrv_init();
void linecard_ethdrv_fini();
// Takes one received frame (data at the Ethernet header) for dev: counts it,
// pulls the header and hands it to the hook, or to dev's Linux stack without one.
void linecard_ethdrv_rx(struct net_device *dev, struct sk_buff *skb);

// Bound interfaces (afpacket.cc, afxdp.cc): a Linux interface driven as a
// line-card Ethernet port of the same name, through AF_XDP or an AF_PACKET
// ring. AUTO takes AF_XDP where the kernel allows it. Errors are negative
// errno values; -ENODEV for an interface that does not exist. *how, when
// given, says which driver the port uses (and why not AF_XDP), or why a
// forced AF_XDP failed.
enum linecard_port_driver { LINECARD_PORT_AUTO, LINECARD_PORT_XDP, LINECARD_PORT_AFPACKET };
int linecard_port_bind(const char *ifname, linecard_port_driver drv = LINECARD_PORT_AFPACKET,
                       std::string *how = nullptr);
int linecard_port_unbind(const char *ifname);
// Unbinds every port, including those whose interface went away.
void linecard_port_unbind_all();

// PHY stand-in (phy.cc): the line of a port's device follows the carrier of
// its host interface, reported to the bridge when watching starts, when the
// carrier, speed or duplex changes, and when the device joins a bridge. 0 or
// a negative errno (-ENODEV: no such interface, -EEXIST: already watched).
// Unwatch, idempotent, returns once no report uses dev; not to be called
// holding jxbridge_lock.
int linecard_phy_watch(const char *ifname, struct net_device *dev);
void linecard_phy_unwatch(struct net_device *dev);

// OLT stand-in (olt.cc): an interface named gpon<i>, xgspon<i> or dsl<i>
// carries a 4-byte GEM tag after the MAC addresses (LINECARD_OLT_GEM_TYPE,
// then the GEM number). attach wraps the bound device's operations (0 for
// another name), detach restores them before the device is freed.
#define LINECARD_OLT_GEM_TYPE 0x88B5
#define LINECARD_SCRATCH_GEM 1 // the scratch word holds a GEM number
bool linecard_olt_name(const char *name);
int linecard_olt_attach(struct net_device *dev);
void linecard_olt_detach(struct net_device *dev);
// A received frame of dev (data at the MAC header): the tag moved to the
// scratch word; false when the frame was dropped (and freed) for lack of one.
bool linecard_olt_rx(struct net_device *dev, struct sk_buff *skb);

// Frame repairs for what the host did to a received frame, over plain bytes.
// Puts a stripped VLAN tag back after the two MAC addresses: the new length,
// or 0 when src is shorter than the MACs or dst has no room for len + 4 bytes.
size_t linecard_vlan_restore(u8 *dst, size_t cap, const u8 *src, size_t len, u16 tpid, u16 tci);
// Finishes a partial checksum: the field at start + offset holds the
// pseudo-header sum, the result covers start to the end. 0 or -EINVAL.
int linecard_csum_complete(u8 *frame, size_t len, size_t start, size_t offset);
// Computes the TCP or UDP checksum of an Ethernet frame (up to two VLAN tags,
// IPv4 or IPv6 without extension headers): 0, -EPROTONOSUPPORT for anything
// else, -EINVAL for a truncated frame.
int linecard_csum_fill(u8 *frame, size_t len);
