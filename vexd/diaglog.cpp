// placeholder: replaced by the real module
#include "diaglog.h"
int diaglog_init(const diaglog_settings_t *) { return 0; }
int diaglog_on(const char *) { return -1; }
int diaglog_off(void) { return -1; }
int diaglog_setmaskfile(const char *) { return -1; }
int diaglog_rmlogfile(const char *) { return -1; }
int diaglog_switch_logging(int) { return -1; }
int diaglog_read_mask_file(const char *) { return -1; }
