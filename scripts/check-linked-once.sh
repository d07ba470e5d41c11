#!/usr/bin/env bash
# Fails when a program or library of the build carries its own copy of the platform
# layer. Every copy would hold its own process-wide state (the termination-signal
# pipe, once-flags, the settings store's locks and caches), and a process that loads
# two copies would set up one and consult the other.
#   scripts/check-linked-once.sh <the platform library> <directory of programs and libraries>
set -euo pipefail
platform="$1"
dir="$2"

# Functions and data of the platform layer defined in a file (not inline or template code).
defined() {
  nm --defined-only --demangle "$1" 2>/dev/null \
    | sed -n -E 's/^[0-9a-f]* [TtDdBbRr] ((ulx::|KReg|kreg).*)$/\1/p' | sort -u
}

own="$(mktemp)"
trap 'rm -f "$own"' EXIT
defined "$platform" > "$own"
if [ ! -s "$own" ]; then
  echo "no platform symbols found in $platform" >&2
  exit 1
fi

status=0
for file in "$dir"/*; do
  [ -f "$file" ] || continue
  [ "$file" -ef "$platform" ] && continue
  [ "$(head -c 4 "$file" | tr -d '\0' | tail -c 3)" = "ELF" ] || continue
  copies="$(defined "$file" | comm -12 "$own" -)"
  if [ -n "$copies" ]; then
    echo "$(basename "$file") carries its own copy of the platform layer, e.g.:" >&2
    echo "$copies" | head -n 3 | sed 's/^/  /' >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "the platform layer is linked once: $(basename "$platform")"
exit "$status"
