slnk/CMakeFiles/slnk.dir/src/slnk.cpp.o: /work/main/slnk/src/slnk.cpp \
 /usr/include/stdc-predef.h
