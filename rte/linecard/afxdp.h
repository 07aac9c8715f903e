// The AF_XDP driver of a bound interface (afxdp.cc), for the common bind
// path in afpacket.cc.
#pragma once

#include <string>

struct net_device;
struct lc_xdp_port;

// Opens the interface through AF_XDP for dev: sets dev's operations, address
// and MTU. 0 and *how the mode ("native", "generic", and what the bind
// noticed), or a negative errno and *how what failed.
int lc_xdp_port_open(const char *ifname, struct net_device *dev, lc_xdp_port **out,
                     std::string *how);
// Receives until stop_fd is readable (0) or the interface is gone (-ENODEV).
int lc_xdp_port_run(lc_xdp_port *x, int stop_fd);
// After the receive loop ended: the socket and program go, later
// transmissions are dropped; free once the device is.
void lc_xdp_port_close(lc_xdp_port *x);
void lc_xdp_port_free(lc_xdp_port *x);
