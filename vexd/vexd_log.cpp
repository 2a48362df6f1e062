// placeholder: replaced by the real module
#include "vexd.h"
#include <cstdlib>
const char *vexd_log_dir_path = nullptr;
void vexd_printf(const char *, ...) {}
void assert(const char *, const char *, int) { exit(-1); }
