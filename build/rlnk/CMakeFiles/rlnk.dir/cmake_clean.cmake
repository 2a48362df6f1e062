file(REMOVE_RECURSE
  "CMakeFiles/rlnk.dir/src/rlnk.cpp.o"
  "CMakeFiles/rlnk.dir/src/rlnk.cpp.o.d"
  "librlnk.a"
  "librlnk.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/rlnk.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
