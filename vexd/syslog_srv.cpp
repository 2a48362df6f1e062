// placeholder: replaced by the real module
#include "syslog_srv.h"
int32_t syslog_srv_init(void) { return 0; }
void syslog_srv_getlogdata(char **, int *) {}
