dlnk/CMakeFiles/dlnk.dir/src/dlnk.cpp.o: /work/main/dlnk/src/dlnk.cpp \
 /usr/include/stdc-predef.h
