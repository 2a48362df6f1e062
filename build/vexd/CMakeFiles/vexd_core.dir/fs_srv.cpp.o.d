vexd/CMakeFiles/vexd_core.dir/fs_srv.cpp.o: /work/main/vexd/fs_srv.cpp \
 /usr/include/stdc-predef.h /work/main/vexd/fs_srv.h
