// The trace memory facility's stand-in: a ring of fixed-size entries that the
// bridge finds by name and writes into, recorded for inspection.
#pragma once

#include "kernel/types.h"

#include <vector>

#define DTRC_ENTRY_SIZE 32
#define DTRC_ENTRIES 1024

// The facility's flag word; each bit enables one kind of entry.
extern u32 dtrcFlags;
// The place of the next entry of size bytes, or NULL when an entry cannot be
// that large. The caller writes the entry there.
void *dtrcGetSRAMAddr(unsigned int size);

// Exports the facility under the owner "dtrc", as when its module is loaded.
void linecard_dtrc_install();
// Withdraws it: look-ups fail as when the module is absent.
void linecard_dtrc_remove();
void linecard_dtrc_set_flags(u32 flags);
// The entries handed out so far (the newest DTRC_ENTRIES), oldest first, as
// they read now.
std::vector<std::vector<u8>> linecard_dtrc_entries();
// Forgets the entries and clears the flag word.
void linecard_dtrc_clear();
