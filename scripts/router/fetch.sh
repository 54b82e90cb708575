# Sourced by the router's build scripts, with $debs set to the package cache.
# A package of the cache, fetched first when missing: name:arch, or a name
# of an architecture-independent package. Prints each one's path.
fetch() {  # package...
  local package
  for package in "$@"; do
    local name=${package%%:*} arch=all
    [ "$name" = "$package" ] || arch=${package#*:}
    ls "$debs/${name}_"*"_$arch.deb" >/dev/null 2>&1 ||
      (cd "$debs" && apt-get download -q "$package" >/dev/null) || return 1
    ls "$debs/${name}_"*"_$arch.deb" | head -n 1
  done
}
