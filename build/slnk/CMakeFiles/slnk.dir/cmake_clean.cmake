file(REMOVE_RECURSE
  "CMakeFiles/slnk.dir/src/slnk.cpp.o"
  "CMakeFiles/slnk.dir/src/slnk.cpp.o.d"
  "libslnk.a"
  "libslnk.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/slnk.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
