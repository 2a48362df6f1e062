// placeholder: replaced by the real module
#include "logcat_srv.h"
int32_t logcat_srv_init(void) { return 0; }
void logcat_srv_getlogdata(char **, int *) {}
char filterPriToChar(unsigned char) { return '?'; }
