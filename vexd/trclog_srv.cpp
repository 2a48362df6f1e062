// placeholder: replaced by the real module
#include "trclog_srv.h"
int32_t trclog_srv_init(void) { return 0; }
int trclog_srv_write(const void *, int) { return -1; }
int trclog_srv_enable(void) { return 0; }
int trclog_srv_disable(void) { return 0; }
int32_t trclog_move_file(const char *, const char *) { return -1; }
