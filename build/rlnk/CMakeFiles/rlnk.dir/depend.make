# Empty dependencies file for rlnk.
# This may be replaced when dependencies are built.
