// placeholder: replaced by the real module
#include "vexd.h"
int64_t vexd_check_fsquota(void) { return 0; }
void vexd_printsize(int64_t) {}
