#!/usr/bin/env bash
# Fails when a program or library given here, or a library of this build that it
# needs (found beside it), names a network library in DT_NEEDED. The host and the
# service library must map none at start: a forwarding start ends before any
# network use, and a serving process maps the network stacks through the network
# module (platform/knetaccess.h) on its first request.
#   scripts/check-no-network-needed.sh [--allow NAME]... FILE...
# --allow NAME lets lib<NAME> through (a dependency still on its way out).
set -euo pipefail
allow=()
while [ "${1:-}" = --allow ]; do
  allow+=("$2")
  shift 2
done
network='^lib(Qt6Network|ssl|crypto|curl|gnutls|nghttp2|ssh2?|gssapi_krb5|krb5|k5crypto|ldap|lber|rtmp|psl|nettle|hogweed)[-.]'

status=0
declare -A seen
check() {
  local file="$1" dir needed name
  dir="$(dirname "$file")"
  [ -n "${seen[$file]:-}" ] && return
  seen[$file]=1
  for needed in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    if [[ $needed =~ $network ]]; then
      name="${needed#lib}"
      name="${name%%[-.]*}"
      if [[ " ${allow[*]} " != *" $name "* ]]; then
        echo "$file needs the network library $needed" >&2
        status=1
      fi
    fi
    if [ -f "$dir/$needed" ]; then
      check "$dir/$needed"
    fi
  done
}

[ $# -gt 0 ] || { echo "usage: $0 [--allow NAME]... FILE..." >&2; exit 2; }
for file in "$@"; do
  [ -f "$file" ] || { echo "missing: $file" >&2; exit 1; }
  check "$file"
done
exit $status
