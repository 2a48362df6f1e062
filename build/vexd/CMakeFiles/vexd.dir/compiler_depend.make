# Empty compiler generated dependencies file for vexd.
# This may be replaced when dependencies are built.
