// Host links: the line card's own interfaces (management and filter devices,
// flagged IFF_RTE_HOST_LINK by the module that makes them) as the host's
// stack sees them.
//
// TAP mode (jxnode): each such device gets a TAP interface of its name in the
// node's network namespace, with the device's MAC address and up or down with
// the device. netif_rx on the device writes the frame (from its link-layer
// header) to the TAP; what the host sends on the TAP goes to the device's
// transmit operation. The TAP goes with the device, and with the process in
// any case (it is not persistent); one left persistent by another tool under
// the same name is taken over and made non-persistent.
//
// RECORD mode (tests): what the stack receives is recorded per device.
//
// Thread safety: a device is unregistered from outside its own transmit path
// (the TAP's reader thread is joined on the way).
#pragma once

#include "linecard/wire.h"

struct net_device;

enum linecard_hostlink_mode { LINECARD_HOSTLINK_TAP, LINECARD_HOSTLINK_RECORD };
// Before the modules load; 0 or a negative errno.
int linecard_hostlink_start(linecard_hostlink_mode mode);
// After they unload.
void linecard_hostlink_stop();
// RECORD mode: the frames the host's stack received on dev since the last
// take, each from its link-layer header, oldest first.
std::vector<linecard_frame> linecard_hostlink_take(struct net_device *dev);
// The host sends bytes (from the destination MAC on) on dev.
void linecard_hostlink_send(struct net_device *dev, const linecard_frame &bytes);
