file(REMOVE_RECURSE
  "CMakeFiles/tmr.dir/src/tmr.cpp.o"
  "CMakeFiles/tmr.dir/src/tmr.cpp.o.d"
  "CMakeFiles/tmr.dir/src/tmr_cb.cpp.o"
  "CMakeFiles/tmr.dir/src/tmr_cb.cpp.o.d"
  "libtmr.a"
  "libtmr.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tmr.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
