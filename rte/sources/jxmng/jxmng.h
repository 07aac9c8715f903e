// What other modules (jxigmp_mod, jxbridge_mod) call of the management
// module: management devices by name. Both take the routing lock, so a caller
// must not hold it; nor jxbridge_lock, which the device's removal from a
// bridge takes.
#pragma once

// 0; -17 when a device of that name exists; -22 for a name of more than 15
// characters or an invalid one; -12 without memory; or the error of name
// completion ("%d") or registration.
int mng_dev_add(const char *name);
// 0; -19 when no management device has that name; -16 when it is up.
int mng_dev_del(const char *name);
