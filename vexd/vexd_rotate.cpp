// placeholder: replaced by the real module
#include "vexd.h"
int32_t vexd_curr_startup_counter = 0;
void vexd_add_startup_marker(int, int32_t *) {}
int32_t vexd_get_startup_counter(void) { return vexd_curr_startup_counter; }
void vexd_archive_logfile(const char *, const char *, uint32_t, uint32_t *) {}
int32_t vexd_get_file_size(const char *) { return 0; }
void vexd_save_proclist(void) {}
