#include "kernel/module.h"

#include "kernel/printk.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct mod_info {
    int (*init)() = nullptr;
    void (*exit)() = nullptr;
    bool loaded = false;
    u64 load_seq = 0;
};

struct sym_info {
    std::string owner;
    void *addr;
};

struct param_info {
    std::string mod;
    std::string name;
    rte_param_type type;
    void *addr;
    long long def_int;
    const char *def_str;
};

struct registry {
    std::recursive_mutex m;
    std::map<std::string, mod_info> mods;
    std::map<std::string, sym_info> syms;
    std::vector<param_info> params;
    std::vector<std::string> strings; // values given to charp parameters
    u64 next_load_seq = 1;
};

registry &reg() {
    static registry r;
    return r;
}

bool parse_ll(const std::string &s, long long *out) {
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 0);
    if (errno || *end)
        return false;
    *out = v;
    return true;
}

int set_param(registry &r, param_info &p, const std::string &value) {
    long long v;
    switch (p.type) {
    case rte_param_type::int_:
        if (!parse_ll(value, &v) || v < INT32_MIN || v > INT32_MAX)
            return -EINVAL;
        *(int *)p.addr = (int)v;
        return 0;
    case rte_param_type::uint_:
        if (!parse_ll(value, &v) || v < 0 || v > UINT32_MAX)
            return -EINVAL;
        *(unsigned *)p.addr = (unsigned)v;
        return 0;
    case rte_param_type::charp:
        r.strings.push_back(value);
        *(const char **)p.addr = r.strings.back().c_str();
        return 0;
    }
    return -EINVAL;
}

void reset_params(registry &r, const std::string &mod) {
    for (auto &p : r.params) {
        if (p.mod != mod)
            continue;
        switch (p.type) {
        case rte_param_type::int_:
            *(int *)p.addr = (int)p.def_int;
            break;
        case rte_param_type::uint_:
            *(unsigned *)p.addr = (unsigned)p.def_int;
            break;
        case rte_param_type::charp:
            *(const char **)p.addr = p.def_str;
            break;
        }
    }
}

bool owner_present(registry &r, const std::string &owner) {
    if (owner.empty())
        return true;
    auto it = r.mods.find(owner);
    // Owners that are not modules are outside components, present while registered.
    return it == r.mods.end() || it->second.loaded;
}

} // namespace

rte_module_reg::rte_module_reg(const char *mod, int (*init)(), void (*exit)()) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    mod_info &mi = r.mods[mod];
    if (init)
        mi.init = init;
    if (exit)
        mi.exit = exit;
}

rte_symbol_reg::rte_symbol_reg(const char *mod, const char *name, void *addr) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    r.mods[mod];
    r.syms[name] = sym_info{mod, addr};
}

rte_param_reg::rte_param_reg(const char *mod, const char *name, rte_param_type type, void *addr,
                             unsigned) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    param_info p{mod, name, type, addr, 0, nullptr};
    if (type == rte_param_type::int_)
        p.def_int = *(int *)addr;
    else if (type == rte_param_type::uint_)
        p.def_int = *(unsigned *)addr;
    else
        p.def_str = *(const char **)addr;
    r.params.push_back(p);
}

void *__symbol_get(const char *name) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    auto it = r.syms.find(name);
    if (it == r.syms.end() || !owner_present(r, it->second.owner))
        return nullptr;
    return it->second.addr;
}

int request_module(const char *fmt, ...) {
    char what[128];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof(what), fmt, ap);
    va_end(ap);
    std::string mod = what;
    if (mod.rfind("symbol:", 0) == 0) {
        registry &r = reg();
        std::lock_guard<std::recursive_mutex> g(r.m);
        auto it = r.syms.find(mod.substr(7));
        if (it == r.syms.end())
            return -ENOENT;
        mod = it->second.owner;
        if (owner_present(r, mod))
            return 0;
    }
    if (rte_module_loaded(mod.c_str()))
        return 0;
    return rte_module_load(mod.c_str());
}

void rte_symbol_add(const char *owner, const char *name, void *addr) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    r.syms[name] = sym_info{owner, addr};
}

void rte_symbol_remove(const char *name) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    r.syms.erase(name);
}

int rte_module_load(const char *name, const std::vector<std::string> &args) {
    registry &r = reg();
    int (*init)() = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(r.m);
        auto it = r.mods.find(name);
        if (it == r.mods.end() || !it->second.init)
            return -ENOENT;
        if (it->second.loaded)
            return -EEXIST;
        reset_params(r, name);
        for (const std::string &a : args) {
            size_t eq = a.find('=');
            std::string key = a.substr(0, eq);
            auto p = std::find_if(r.params.begin(), r.params.end(), [&](const param_info &pi) {
                return pi.mod == name && pi.name == key;
            });
            if (p == r.params.end()) {
                printk(KERN_WARNING "%s: unknown parameter '%s' ignored\n", name, key.c_str());
                reset_params(r, name);
                return -ENOENT;
            }
            if (eq == std::string::npos || set_param(r, *p, a.substr(eq + 1))) {
                printk(KERN_ERR "%s: '%s' invalid for parameter '%s'\n", name,
                       eq == std::string::npos ? "" : a.substr(eq + 1).c_str(), key.c_str());
                reset_params(r, name);
                return -EINVAL;
            }
        }
        init = it->second.init;
    }
    // The module's init runs without the registry lock: it may look symbols up.
    int rc = init();
    std::lock_guard<std::recursive_mutex> g(r.m);
    if (rc == 0) {
        r.mods[name].loaded = true;
        r.mods[name].load_seq = r.next_load_seq++;
    }
    return rc;
}

int rte_module_unload(const char *name) {
    registry &r = reg();
    void (*exit)() = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(r.m);
        auto it = r.mods.find(name);
        if (it == r.mods.end() || !it->second.loaded)
            return -ENOENT;
        exit = it->second.exit;
    }
    if (exit)
        exit();
    std::lock_guard<std::recursive_mutex> g(r.m);
    r.mods[name].loaded = false;
    return 0;
}

bool rte_module_loaded(const char *name) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    auto it = r.mods.find(name);
    return it != r.mods.end() && it->second.loaded;
}

std::vector<std::string> rte_modules_known() {
    static const char *const order[] = {"jxbridge_mod", "jxmng_mod", "jxigmp_mod"};
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> g(r.m);
    std::vector<std::string> out;
    for (const char *n : order) {
        auto it = r.mods.find(n);
        if (it != r.mods.end() && it->second.init)
            out.push_back(n);
    }
    for (auto &[n, mi] : r.mods)
        if (mi.init && std::find(out.begin(), out.end(), n) == out.end())
            out.push_back(n);
    return out;
}

void rte_modules_unload_all() {
    for (;;) {
        std::string newest;
        {
            registry &r = reg();
            std::lock_guard<std::recursive_mutex> g(r.m);
            u64 best = 0;
            for (auto &[n, mi] : r.mods)
                if (mi.loaded && mi.load_seq > best) {
                    best = mi.load_seq;
                    newest = n;
                }
        }
        if (newest.empty())
            return;
        rte_module_unload(newest.c_str());
    }
}
