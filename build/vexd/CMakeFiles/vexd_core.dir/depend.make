# Empty dependencies file for vexd_core.
# This may be replaced when dependencies are built.
