file(REMOVE_RECURSE
  "libtmr.a"
)
