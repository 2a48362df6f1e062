
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/vexd/diaglog.cpp" "vexd/CMakeFiles/vexd_core.dir/diaglog.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/diaglog.cpp.o.d"
  "/work/main/vexd/file_compress.cpp" "vexd/CMakeFiles/vexd_core.dir/file_compress.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/file_compress.cpp.o.d"
  "/work/main/vexd/fs_srv.cpp" "vexd/CMakeFiles/vexd_core.dir/fs_srv.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/fs_srv.cpp.o.d"
  "/work/main/vexd/fssync_srv.cpp" "vexd/CMakeFiles/vexd_core.dir/fssync_srv.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/fssync_srv.cpp.o.d"
  "/work/main/vexd/logcat_srv.cpp" "vexd/CMakeFiles/vexd_core.dir/logcat_srv.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/logcat_srv.cpp.o.d"
  "/work/main/vexd/socket_srv.cpp" "vexd/CMakeFiles/vexd_core.dir/socket_srv.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/socket_srv.cpp.o.d"
  "/work/main/vexd/syslog_srv.cpp" "vexd/CMakeFiles/vexd_core.dir/syslog_srv.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/syslog_srv.cpp.o.d"
  "/work/main/vexd/trclog_srv.cpp" "vexd/CMakeFiles/vexd_core.dir/trclog_srv.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/trclog_srv.cpp.o.d"
  "/work/main/vexd/vexd_archive.cpp" "vexd/CMakeFiles/vexd_core.dir/vexd_archive.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/vexd_archive.cpp.o.d"
  "/work/main/vexd/vexd_log.cpp" "vexd/CMakeFiles/vexd_core.dir/vexd_log.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/vexd_log.cpp.o.d"
  "/work/main/vexd/vexd_rotate.cpp" "vexd/CMakeFiles/vexd_core.dir/vexd_rotate.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/vexd_rotate.cpp.o.d"
  "/work/main/vexd/vexd_space.cpp" "vexd/CMakeFiles/vexd_core.dir/vexd_space.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/vexd_space.cpp.o.d"
  "/work/main/vexd/zip_writer.cpp" "vexd/CMakeFiles/vexd_core.dir/zip_writer.cpp.o" "gcc" "vexd/CMakeFiles/vexd_core.dir/zip_writer.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/tmr/CMakeFiles/tmr.dir/DependInfo.cmake"
  "/work/main/build/slnk/CMakeFiles/slnk.dir/DependInfo.cmake"
  "/work/main/build/dlnk/CMakeFiles/dlnk.dir/DependInfo.cmake"
  "/work/main/build/rlnk/CMakeFiles/rlnk.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
