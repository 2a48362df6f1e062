# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
subdirs("slnk")
subdirs("dlnk")
subdirs("rlnk")
subdirs("tmr")
subdirs("vexd")
subdirs("morvane")
subdirs("tools")
subdirs("sim")
subdirs("tests")
subdirs("bench")
