# shellcheck shell=bash
# Sourced by install-deps.sh and setup-ia32.sh: package checks and an
# apt-get update that survives a mirror in the middle of a sync.

# True when the package (NAME or NAME:ARCH) is installed and configured.
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# apt-get update, tried up to three times: a mirror in the middle of a sync
# serves, for a while, an index whose size does not match its Release file
# ("File has unexpected size ... Mirror sync in progress?"). When indexes
# still fail after the last try, apt keeps the lists that did download (and
# any older copy of the failed ones); the run goes on with them, names the
# failed indexes and leaves their URLs in APT_FAILED_INDEXES, one a line.
# Fails only when apt-get update failed for another reason.
APT_FAILED_INDEXES=
apt_update_retrying() {
  local log try
  log=$(mktemp /tmp/kelvra-apt-update-XXXXXX.log)
  for try in 1 2 3; do
    if apt-get update >"$log" 2>&1; then
      APT_FAILED_INDEXES=
      rm -f "$log"
      return 0
    fi
    APT_FAILED_INDEXES=$(sed -n 's/^E: Failed to fetch \([^ ]*\) .*/\1/p' "$log" | sort -u)
    [ "$try" -lt 3 ] && sleep $((try * ${KELVRA_APT_RETRY_SECONDS:-20}))
  done
  if [ -z "$APT_FAILED_INDEXES" ]; then
    echo "apt-get update failed:"
    tail -20 "$log"
    rm -f "$log"
    return 1
  fi
  echo "apt-get update: after 3 tries these indexes still did not download; going on with the lists that did:"
  sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)/  \1: \2/p' "$log" | sort -u | cut -c1-220
  rm -f "$log"
  return 0
}
