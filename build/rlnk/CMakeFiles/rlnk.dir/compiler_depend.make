# Empty compiler generated dependencies file for rlnk.
# This may be replaced when dependencies are built.
