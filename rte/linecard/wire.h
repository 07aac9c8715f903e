// In-process wire devices: Ethernet ports with no host interface behind
// them. Frames are injected as bytes through the line card's Ethernet driver,
// and what the node transmits is recorded, byte for byte, per device.
#pragma once

#include "kernel/types.h"

#include <vector>

struct net_device;
using linecard_frame = std::vector<u8>;

// A registered, up device of that name; nullptr when the name is taken.
struct net_device *linecard_wire_add(const char *name);
// Unregisters and frees it (its recorded frames go with it).
void linecard_wire_del(struct net_device *dev);
// Receives bytes (from the destination MAC on) as if they came off the wire.
void linecard_wire_rx(struct net_device *dev, const linecard_frame &bytes);
// Frames transmitted on dev since the last take, oldest first; taking clears them.
std::vector<linecard_frame> linecard_wire_take(struct net_device *dev);
// Makes the device refuse every transmission (NETDEV_TX_BUSY) while on.
void linecard_wire_refuse(struct net_device *dev, bool on);
// While off, transmissions are only counted in the device's statistics and
// freed, so a benchmark measures the bridge rather than the recorder. On by default.
void linecard_wire_record(struct net_device *dev, bool on);
