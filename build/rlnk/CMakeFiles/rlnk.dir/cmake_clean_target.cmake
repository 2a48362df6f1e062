file(REMOVE_RECURSE
  "librlnk.a"
)
