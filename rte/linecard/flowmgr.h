// The outside flow manager's stand-in: it hooks into the bridge through the
// bridge's exported setters, records what it is offered and answers settable
// results, so that tests and the node can see the bridge's side of the offload.
//
// Started as the manager, it also keeps a flow table (flowmgr_records.h): a
// flow per distinct frame key the per-frame hook sees, dropped again when an
// event says the bridge forwards differently now, and serves it through
// /proc/net/jxbridge/flow. Installed alone, it only records.
#pragma once

#include "kernel/types.h"

#include <vector>

struct sk_buff;

struct linecard_flow_event {
    int code;
    void *a1, *a2, *a3;
};

// Installs both hooks; -ENOENT when the bridge's setters are not exported.
int linecard_flowmgr_install();
// Removes both hooks (when the bridge is still there).
void linecard_flowmgr_remove();

std::vector<linecard_flow_event> linecard_flowmgr_events();
// Frames offered to the per-frame hook; they stay with the bridge.
unsigned linecard_flowmgr_frames();
// The answer to later events of this code (0 when never set).
void linecard_flowmgr_set_event_result(int code, int rc);
// The answer to later frames.
void linecard_flowmgr_set_frame_result(int rc);
// Empties everything above and the flow table; stops the manager.
void linecard_flowmgr_clear();

// Both hooks, the flow table and the control file in the bridge's proc
// directory: -ENOENT without the bridge (its directory or setters), -EEXIST
// when the file's name is taken, -EBUSY when already started.
int linecard_flowmgr_start();
// Removes the file and the hooks; safe when the bridge went first.
void linecard_flowmgr_stop();
// Most flows entering through one port; new ones are refused beyond it.
void linecard_flowmgr_set_port_limit(unsigned limit);
#define LINECARD_FLOWMGR_PORT_LIMIT 4096u
