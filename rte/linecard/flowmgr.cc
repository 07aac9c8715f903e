#include "linecard/flowmgr.h"

#include "kernel/module.h"

#include <map>
#include <mutex>

namespace {

using frame_hook = int (*)(struct sk_buff *);
using event_hook = int (*)(int, void *, void *, void *);
using set_frame_hook = void (*)(frame_hook);
using set_event_hook = void (*)(event_hook);

struct flowmgr_state {
    std::mutex m;
    std::vector<linecard_flow_event> events;
    std::map<int, int> event_results;
    unsigned frames = 0;
    int frame_result = 0;
};

flowmgr_state &st() {
    static flowmgr_state s;
    return s;
}

int on_frame(struct sk_buff *) {
    std::lock_guard<std::mutex> g(st().m);
    st().frames++;
    return st().frame_result;
}

int on_event(int code, void *a1, void *a2, void *a3) {
    std::lock_guard<std::mutex> g(st().m);
    st().events.push_back({code, a1, a2, a3});
    auto it = st().event_results.find(code);
    return it == st().event_results.end() ? 0 : it->second;
}

// The setters are the bridge module's; found by name, as the flow manager
// module finds them.
int set_hooks(frame_hook f, event_hook e) {
    auto sf = (set_frame_hook)__symbol_get("jxbridge_set_flow_hook");
    auto se = (set_event_hook)__symbol_get("jxbridge_set_flow_event_hook");
    if (!sf || !se)
        return -ENOENT;
    sf(f);
    se(e);
    return 0;
}

} // namespace

int linecard_flowmgr_install() {
    return set_hooks(on_frame, on_event);
}

void linecard_flowmgr_remove() {
    set_hooks(nullptr, nullptr);
}

std::vector<linecard_flow_event> linecard_flowmgr_events() {
    std::lock_guard<std::mutex> g(st().m);
    return st().events;
}

unsigned linecard_flowmgr_frames() {
    std::lock_guard<std::mutex> g(st().m);
    return st().frames;
}

void linecard_flowmgr_set_event_result(int code, int rc) {
    std::lock_guard<std::mutex> g(st().m);
    st().event_results[code] = rc;
}

void linecard_flowmgr_set_frame_result(int rc) {
    std::lock_guard<std::mutex> g(st().m);
    st().frame_result = rc;
}

void linecard_flowmgr_clear() {
    flowmgr_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.events.clear();
    s.event_results.clear();
    s.frames = 0;
    s.frame_result = 0;
}
