rlnk/CMakeFiles/rlnk.dir/src/rlnk.cpp.o: /work/main/rlnk/src/rlnk.cpp \
 /usr/include/stdc-predef.h
