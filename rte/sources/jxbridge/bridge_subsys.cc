// The table of a bridge's subsystems, and the walks that build a bridge's
// engines and files from it and take them away again.
#include "jxbridge.h"

#define JXBRIDGE_SUBSYS_ROW(row) &row,
static const struct jxbridge_subsys *const jxbridge_subsystems[] = {
    JXBRIDGE_SUBSYSTEMS(JXBRIDGE_SUBSYS_ROW)};
static_assert(ARRAY_SIZE(jxbridge_subsystems) <= JXBRIDGE_SUBSYS_MAX);

static void subsys_files_remove(struct jxbridge *B, const struct jxbridge_subsys *row) {
    for (const auto &f : row->files)
        if (f.name)
            remove_proc_entry(f.name, B->proc_dir);
}

static int subsys_files_make(struct jxbridge *B, const struct jxbridge_subsys *row) {
    for (const auto &f : row->files) {
        if (!f.name)
            continue;
        const struct file_operations *fops = f.fops ? f.fops : &jxbridge_placeholder_fops;
        if (proc_create_data(f.name, f.mode, B->proc_dir, fops, B))
            continue;
        if (debug)
            printk(KERN_ERR "[%s] Unable to create /proc/%s/%s/%s.\n", row->tag, JXBRIDGE_PROC_ROOT,
                   B->dev->name, f.name);
        subsys_files_remove(B, row);
        return -ENOBUFS;
    }
    return 0;
}

int jxbridge_subsys_init(struct jxbridge *B) {
    B->subsys_up = 0;
    B->proc_dir = proc_mkdir(B->dev->name, jxbridge_proc_root);
    if (!B->proc_dir)
        return -ENOMEM;
    for (const struct jxbridge_subsys *row : jxbridge_subsystems) {
        int rc = row->init ? row->init(B) : 0;
        if (!rc) {
            rc = subsys_files_make(B, row);
            if (rc && row->fini)
                row->fini(B);
        }
        if (rc) {
            jxbridge_subsys_fini(B);
            return rc;
        }
        if (row->set_debug) {
            struct jxbridge_tracer *t = &B->subsys_debug[B->subsys_up];
            t->set_debug = row->set_debug;
            t->context = B;
            jxbridge_tracer_register(t);
        }
        B->subsys_up++;
    }
    return 0;
}

void jxbridge_subsys_fini(struct jxbridge *B) {
    lockdep_assert_held(&jxbridge_lock);
    if (!B->proc_dir)
        return;
    // Operations in progress on the bridge's files may be waiting for
    // jxbridge_lock: they must be able to finish before the entries go.
    mutex_unlock(&jxbridge_lock);
    for (u32 i = B->subsys_up; i-- > 0;)
        subsys_files_remove(B, jxbridge_subsystems[i]);
    proc_remove(B->proc_dir);
    mutex_lock(&jxbridge_lock);
    B->proc_dir = nullptr;
    while (B->subsys_up > 0) {
        const struct jxbridge_subsys *row = jxbridge_subsystems[--B->subsys_up];
        if (row->set_debug)
            jxbridge_tracer_unregister(&B->subsys_debug[B->subsys_up]);
        if (row->fini)
            row->fini(B);
    }
    if (debug)
        printk(KERN_INFO "[Bridge] /proc/%s/%s removed.\n", JXBRIDGE_PROC_ROOT, B->dev->name);
}

int jxbridge_subsys_port_init(struct jxbridge_port *port) {
    for (u32 i = 0; i < ARRAY_SIZE(jxbridge_subsystems); i++) {
        const struct jxbridge_subsys *row = jxbridge_subsystems[i];
        int rc = row->port_init ? row->port_init(port) : 0;
        if (!rc)
            continue;
        while (i-- > 0)
            if (jxbridge_subsystems[i]->port_fini)
                jxbridge_subsystems[i]->port_fini(port);
        return rc;
    }
    return 0;
}

void jxbridge_subsys_port_fini(struct jxbridge_port *port) {
    for (u32 i = ARRAY_SIZE(jxbridge_subsystems); i-- > 0;)
        if (jxbridge_subsystems[i]->port_fini)
            jxbridge_subsystems[i]->port_fini(port);
}
