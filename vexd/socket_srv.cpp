// placeholder: replaced by the real module
#include "socket_srv.h"
int32_t socket_srv_init(void) { return 0; }
int32_t socket_srv_listen(const char *) { return -1; }
void parse_resp(uint8_t *, uint8_t *) {}
