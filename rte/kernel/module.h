// Modules, their parameters and the exported symbol table.
//
// A module is a name with an init and an exit function; it is linked into the
// node (and into tests) and loaded or unloaded at run time. Its exported symbols
// and parameters are known from program start, but symbols are found by name
// only while their module is loaded, as on the line card.
#pragma once

#include "kernel/types.h"

#include <string>
#include <vector>

#ifndef KBUILD_MODNAME
#define KBUILD_MODNAME ""
#endif

struct rte_module_reg {
    rte_module_reg(const char *mod, int (*init)(), void (*exit)());
};
#define module_init(fn) static rte_module_reg __rte_mod_init_##fn(KBUILD_MODNAME, fn, nullptr)
#define module_exit(fn) static rte_module_reg __rte_mod_exit_##fn(KBUILD_MODNAME, nullptr, fn)
#define MODULE_LICENSE(x)
#define MODULE_AUTHOR(x)
#define MODULE_DESCRIPTION(x)
#define THIS_MODULE nullptr

struct rte_symbol_reg {
    rte_symbol_reg(const char *mod, const char *name, void *addr);
};
#define EXPORT_SYMBOL(sym) static rte_symbol_reg __rte_sym_##sym(KBUILD_MODNAME, #sym, (void *)&sym)
#define EXPORT_SYMBOL_GPL(sym) EXPORT_SYMBOL(sym)

// Symbol look-up by name: the address of a loaded module's export, or NULL.
void *__symbol_get(const char *name);
inline void __symbol_put(const char *) {}
#define symbol_get(x) ((__typeof__(&x))(__symbol_get(#x)))
// Asks the loader for a module; "symbol:NAME" loads the module that exports NAME.
int request_module(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Registers a symbol of an outside component (a stand-in driver) at run time.
void rte_symbol_add(const char *owner, const char *name, void *addr);
void rte_symbol_remove(const char *name);

// Module parameters.
enum class rte_param_type { int_, uint_, charp };
struct rte_param_reg {
    rte_param_reg(const char *mod, const char *name, rte_param_type type, void *addr,
                  unsigned perm);
};
#define module_param(name, type, perm)                                                             \
    static rte_param_reg __rte_param_##name(KBUILD_MODNAME, #name, rte_param_type::type##_,        \
                                            (void *)&name, perm)
#define MODULE_PARM_DESC(name, desc)

// Loading: parameters reset to their defaults, then "param=value" words applied.
int rte_module_load(const char *name, const std::vector<std::string> &args = {});
int rte_module_unload(const char *name);
bool rte_module_loaded(const char *name);
std::vector<std::string> rte_modules_known();
void rte_modules_unload_all(); // newest first
