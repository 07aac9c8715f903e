#include "linecard/engine.h"

#include "kernel/module.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

namespace {

struct engine_state {
    std::mutex m;
    std::vector<std::string> calls;
    std::map<std::string, int> results;
    std::string api = "TARN API 3.2.0";
    std::string microcode = "TARN UCODE 7.14";
    std::string api_out, microcode_out; // what the last call handed out
};

engine_state &st() {
    static engine_state s;
    return s;
}

// Records the call and answers its result.
int record(const char *fn, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int record(const char *fn, const char *fmt, ...) {
    char args[96];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(args, sizeof(args), fmt, ap);
    va_end(ap);
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.calls.push_back(std::string(fn) + "(" + args + ")");
    auto it = s.results.find(fn);
    return it == s.results.end() ? 0 : it->second;
}

const char *version_text(const char *fn, std::string engine_state::*text,
                         std::string engine_state::*out) {
    int rc = record(fn, "%s", "");
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    if (rc)
        return nullptr;
    s.*out = s.*text; // stays valid until the next call, as a static buffer would
    return (s.*out).c_str();
}

struct export_entry {
    const char *name;
    void *addr;
};

const export_entry exports[] = {
    {"tarnAPISetLAG", (void *)&tarnAPISetLAG},
    {"arlSetLAG", (void *)&arlSetLAG},
    {"tarnAPISetLAGPortUP", (void *)&tarnAPISetLAGPortUP},
    {"tarnAPISetLAGPortDOWN", (void *)&tarnAPISetLAGPortDOWN},
    {"tarnAPIGetAPIVersion", (void *)&tarnAPIGetAPIVersion},
    {"tarnAPIGetMicrocodeVersion", (void *)&tarnAPIGetMicrocodeVersion},
    {"tarnAPISetGemSubport", (void *)&tarnAPISetGemSubport},
    {"tarnAPISetMcastGem", (void *)&tarnAPISetMcastGem},
};

} // namespace

int tarnAPISetLAG(int lag_id, int lag_mode, u32 tx_port_mask) {
    return record(__func__, "%d, %d, 0x%x", lag_id, lag_mode, tx_port_mask);
}

int arlSetLAG(int lag_id, int lag_mode, u32 tx_port_mask) {
    return record(__func__, "%d, %d, 0x%x", lag_id, lag_mode, tx_port_mask);
}

int tarnAPISetLAGPortUP(int ucc) {
    return record(__func__, "%d", ucc);
}

int tarnAPISetLAGPortDOWN(int ucc) {
    return record(__func__, "%d", ucc);
}

int tarnAPISetGemSubport(int ucc, int gem, int enable) {
    return record(__func__, "%d, %d, %d", ucc, gem, enable);
}

int tarnAPISetMcastGem(int gem, int add) {
    return record(__func__, "%d, %d", gem, add);
}

const char *tarnAPIGetAPIVersion(void) {
    return version_text(__func__, &engine_state::api, &engine_state::api_out);
}

const char *tarnAPIGetMicrocodeVersion(void) {
    return version_text(__func__, &engine_state::microcode, &engine_state::microcode_out);
}

void linecard_engine_install() {
    for (const export_entry &e : exports)
        rte_symbol_add("tarn", e.name, e.addr);
}

void linecard_engine_remove() {
    for (const export_entry &e : exports)
        rte_symbol_remove(e.name);
}

std::vector<std::string> linecard_engine_calls() {
    std::lock_guard<std::mutex> g(st().m);
    return st().calls;
}

void linecard_engine_clear() {
    engine_state &s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.calls.clear();
    s.results.clear();
}

void linecard_engine_set_result(const std::string &fn, int rc) {
    std::lock_guard<std::mutex> g(st().m);
    st().results[fn] = rc;
}

void linecard_engine_set_versions(const std::string &api, const std::string &microcode) {
    std::lock_guard<std::mutex> g(st().m);
    st().api = api;
    st().microcode = microcode;
}
