file(REMOVE_RECURSE
  "libslnk.a"
)
