// placeholder: replaced by the real module
#include "tmr.h"
void tmr_init(void) {}
uint32_t tmr_get(void) { return 0; }
int64_t tmr_get64(void) { return 0; }
void tmr_usleep(uint32_t) {}
void tmr_msleep(uint32_t) {}
