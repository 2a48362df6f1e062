file(REMOVE_RECURSE
  "CMakeFiles/vexd_core.dir/diaglog.cpp.o"
  "CMakeFiles/vexd_core.dir/diaglog.cpp.o.d"
  "CMakeFiles/vexd_core.dir/file_compress.cpp.o"
  "CMakeFiles/vexd_core.dir/file_compress.cpp.o.d"
  "CMakeFiles/vexd_core.dir/fs_srv.cpp.o"
  "CMakeFiles/vexd_core.dir/fs_srv.cpp.o.d"
  "CMakeFiles/vexd_core.dir/fssync_srv.cpp.o"
  "CMakeFiles/vexd_core.dir/fssync_srv.cpp.o.d"
  "CMakeFiles/vexd_core.dir/logcat_srv.cpp.o"
  "CMakeFiles/vexd_core.dir/logcat_srv.cpp.o.d"
  "CMakeFiles/vexd_core.dir/socket_srv.cpp.o"
  "CMakeFiles/vexd_core.dir/socket_srv.cpp.o.d"
  "CMakeFiles/vexd_core.dir/syslog_srv.cpp.o"
  "CMakeFiles/vexd_core.dir/syslog_srv.cpp.o.d"
  "CMakeFiles/vexd_core.dir/trclog_srv.cpp.o"
  "CMakeFiles/vexd_core.dir/trclog_srv.cpp.o.d"
  "CMakeFiles/vexd_core.dir/vexd_archive.cpp.o"
  "CMakeFiles/vexd_core.dir/vexd_archive.cpp.o.d"
  "CMakeFiles/vexd_core.dir/vexd_log.cpp.o"
  "CMakeFiles/vexd_core.dir/vexd_log.cpp.o.d"
  "CMakeFiles/vexd_core.dir/vexd_rotate.cpp.o"
  "CMakeFiles/vexd_core.dir/vexd_rotate.cpp.o.d"
  "CMakeFiles/vexd_core.dir/vexd_space.cpp.o"
  "CMakeFiles/vexd_core.dir/vexd_space.cpp.o.d"
  "CMakeFiles/vexd_core.dir/zip_writer.cpp.o"
  "CMakeFiles/vexd_core.dir/zip_writer.cpp.o.d"
  "libvexd_core.a"
  "libvexd_core.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/vexd_core.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
