# Empty dependencies file for tmr.
# This may be replaced when dependencies are built.
