
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/vexd/main.cpp" "vexd/CMakeFiles/vexd.dir/main.cpp.o" "gcc" "vexd/CMakeFiles/vexd.dir/main.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/vexd/CMakeFiles/vexd_core.dir/DependInfo.cmake"
  "/work/main/build/tmr/CMakeFiles/tmr.dir/DependInfo.cmake"
  "/work/main/build/slnk/CMakeFiles/slnk.dir/DependInfo.cmake"
  "/work/main/build/dlnk/CMakeFiles/dlnk.dir/DependInfo.cmake"
  "/work/main/build/rlnk/CMakeFiles/rlnk.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
