file(REMOVE_RECURSE
  "libdlnk.a"
)
