file(REMOVE_RECURSE
  "CMakeFiles/dlnk.dir/src/dlnk.cpp.o"
  "CMakeFiles/dlnk.dir/src/dlnk.cpp.o.d"
  "libdlnk.a"
  "libdlnk.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/dlnk.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
