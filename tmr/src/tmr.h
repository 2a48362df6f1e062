// Time base (microseconds since tmr_init) and sleeps that signals do not cut short.
#pragma once

#include <cstdint>

void tmr_init(void);
uint32_t tmr_get(void);
int64_t tmr_get64(void);
void tmr_usleep(uint32_t us);
void tmr_msleep(uint32_t ms);
