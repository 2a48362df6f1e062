# Empty compiler generated dependencies file for slnk.
# This may be replaced when dependencies are built.
