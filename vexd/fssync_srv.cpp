// placeholder: replaced by the real module
#include "fssync_srv.h"
int32_t fssync_srv_init(void) { return 0; }
void fssync_srv_need_sync(int) {}
