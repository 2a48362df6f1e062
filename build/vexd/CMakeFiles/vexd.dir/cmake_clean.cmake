file(REMOVE_RECURSE
  "CMakeFiles/vexd.dir/main.cpp.o"
  "CMakeFiles/vexd.dir/main.cpp.o.d"
  "vexd"
  "vexd.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/vexd.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
