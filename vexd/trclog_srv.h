// Trace log channel: the watched /system/trclog.txt and the client-fed vexd_trclog.txt/.gz.
#pragma once

#include <cstdint>

int32_t trclog_srv_init(void);
int trclog_srv_write(const void *data, int len);
int trclog_srv_enable(void);
int trclog_srv_disable(void);
int32_t trclog_move_file(const char *src, const char *dst);
