# Empty compiler generated dependencies file for dlnk.
# This may be replaced when dependencies are built.
