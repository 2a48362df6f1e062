tmr/CMakeFiles/tmr.dir/src/tmr_cb.cpp.o: /work/main/tmr/src/tmr_cb.cpp \
 /usr/include/stdc-predef.h
