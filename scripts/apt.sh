# Installing from Debian's archive, shared by every script that installs
# (sourced). A mirror in the middle of a sync fails one index of an update
# now and then while the packages themselves are there: an update is retried,
# then only warned about, and the install that follows decides.
# The caller sets apt_who (the name its lines start with).

apt_attempts=3
apt_pause_s=10
apt_options=(-o Acquire::Retries=3 -o DPkg::Lock::Timeout=600)
if [ "$(id -u)" -eq 0 ]; then apt_sudo=(); else apt_sudo=(sudo); fi

# Refreshes the package lists; never fails.
apt_update() {
  local attempt output=
  for ((attempt = 1; attempt <= apt_attempts; attempt++)); do
    output=$("${apt_sudo[@]}" apt-get "${apt_options[@]}" update -qq 2>&1) && return 0
    [ "$attempt" -lt "$apt_attempts" ] && sleep "$apt_pause_s"
  done
  echo "$apt_who: warning: apt-get update failed $apt_attempts times" \
    "($(tail -n 1 <<<"$output")); installing from the package lists at hand"
}

# Installs the given packages; fails with a line naming them.
apt_install() {
  DEBIAN_FRONTEND=noninteractive "${apt_sudo[@]}" apt-get "${apt_options[@]}" install -y -qq \
    --no-install-recommends "$@" >/dev/null && return 0
  echo "$apt_who: could not install: $*"
  return 1
}
