// The outside flow manager's stand-in: it hooks into the bridge through the
// bridge's exported setters, records what it is offered and answers settable
// results, so that tests and the node can see the bridge's side of the offload.
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
void linecard_flowmgr_clear();
