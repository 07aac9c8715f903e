// The host side of a host link: TAP interfaces, with the host's own headers
// only (see hostlink.h).
#pragma once

#include <cstdint>

// Opens (creating, or taking over a persistent one left behind) the TAP of
// that name, non-blocking and not persistent, with the MAC address: the file
// descriptor or a negative errno (-EBUSY: another process holds it; -EEXIST:
// an interface of that name that is no TAP).
int lc_tap_open(const char *name, const uint8_t mac[6]);
int lc_tap_set_up(const char *name, bool up);
int lc_tap_set_mac(const char *name, const uint8_t mac[6]);
