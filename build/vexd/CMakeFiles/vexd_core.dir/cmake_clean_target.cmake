file(REMOVE_RECURSE
  "libvexd_core.a"
)
