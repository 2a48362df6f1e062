// The startup counter file's reading and writing. The daemon calls them once,
// in the start marker's set-up (vexd_rotate.cpp); the fuzz target calls them
// on files of its own.
#pragma once

#include <cstdint>

// The count of this start: 1 only when the counter file is missing (decided
// once per process, as vexd_first_start answers; vexd_set_startcnt_path
// decides again). Otherwise the stored count plus one; for a file that is
// there but damaged, on past the recordings' highest count and at least 2,
// with a note for vexd_startcnt_note.
int32_t startcnt_read(void);
// Replaces the counter file with one holding `count`, through a temporary
// file and a rename.
void startcnt_write(int32_t count);
