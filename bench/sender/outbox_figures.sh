#!/usr/bin/env bash
# Prints the outbox's figures, each in a private world against the loopback test
# server (tests/common/testserver.py):
#   A  events delivered of N spooled (spools as earlier versions wrote them)
#   B  events delivered of 2,200 spooled after two runs against a hung collector,
#      and how long SIGTERM and force_exit take with a transfer stuck
#   C  exit events of M second starts (20 at a time): arrived, distinct, duplicates
#   D  peak memory (VmHWM) of a serving process that finds a 520 MB spool
#   bench/sender/outbox_figures.sh [BIN_DIR=build/bin] [N=10000] [M=1000]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="$(cd "${1:-$here/../../build/bin}" && pwd)"
events="${2:-10000}"
starts="${3:-1000}"
server_script="$here/../../tests/common/testserver.py"
root="$(mktemp -d /tmp/ulx-outbox-figures.XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY all_proxy

now_ms() { date +%s%3N; }

# world NAME: a private HOME/XDG/runtime directory and installation configuration.
world() {
  w="$root/$1"
  mkdir -p "$w/home" "$w/config" "$w/state/ulxcloudsvr/outbox" "$w/data" "$w/run"
  chmod 700 "$w/run" "$w/state/ulxcloudsvr/outbox"
  export HOME="$w/home" XDG_CONFIG_HOME="$w/config" XDG_STATE_HOME="$w/state" XDG_DATA_HOME="$w/data" \
    XDG_RUNTIME_DIR="$w/run" ULX_INSTALL_CONFIG="$w/ulxinstall.ini" QT_QPA_PLATFORM=offscreen
  outbox="$w/state/ulxcloudsvr/outbox"
  log="$w/state/ulxcloudsvr/ulxcloudsvr.log"
}

# collector ROUTE [PORT]: starts the test server; sets port and record.
collector() {
  record="$w/record-$RANDOM.jsonl"
  local out="$w/server-$RANDOM.out"
  python3 "$server_script" --record "$record" --route "$1" ${2:+--port "$2"} > "$out" &
  collector_pid=$!
  pids+=("$collector_pid")
  for _ in $(seq 100); do grep -q '^PORT' "$out" 2>/dev/null && break; sleep 0.05; done
  port="$(sed -n 's/^PORT //p' "$out")"
  printf '[Installation]\nFeatures=UseUlxCloudSvrInfoXa\n[Servers]\nInfoCollectSvr=http://127.0.0.1:%s/c\n' "$port" > "$ULX_INSTALL_CONFIG"
}

# serve LINE: starts the serving process and waits until it serves.
serve() {
  "$bin/ulxcloudsvr" "$1" 2>/dev/null &
  service_pid=$!
  pids+=("$service_pid")
  for _ in $(seq 200); do grep -q "$service_pid FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission" "$log" 2>/dev/null && break; sleep 0.05; done
}

# ends SIGNAL-or-force: ends the serving process; prints the milliseconds it took.
# (for force: the force_exit start's own time, then how long the service took after it).
ends() {
  local t0 t1; t0="$(now_ms)"
  if [ "$1" = force ]; then "$bin/ulxcloudsvr" /force_exit; else kill -TERM "$service_pid"; fi
  t1="$(now_ms)"
  while kill -0 "$service_pid" 2>/dev/null; do sleep 0.005; done
  wait "$service_pid" 2>/dev/null || true
  if [ "$1" = force ]; then echo "$(( t1 - t0 )) ms (the force_exit start), then $(( $(now_ms) - t1 ))"; else echo $(( $(now_ms) - t0 )); fi
}

# count PATH: requests to PATH so far; distinct PATH: distinct queries.
count() { grep -c "\"path\": *\"$1\"" "$record" 2>/dev/null || true; }
distinct() { grep "\"path\": *\"$1\"" "$record" 2>/dev/null | sed -n 's/.*"query": *"\([^"]*\)".*/\1/p' | sort -u | wc -l; }

# spool_legacy COUNT PATH: COUNT URLs in spools of 2,500 as earlier versions named them.
spool_legacy() {
  python3 - "$outbox" "$port" "$1" "$2" <<'EOF'
import os, sys
outbox, port, count, path = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
for first in range(0, count, 2500):
    name = os.path.join(outbox, "%014d-4242-%d.urls" % (1700000000000 + first, first))
    with open(name, "w") as f:
        for i in range(first, min(first + 2500, count)):
            f.write("http://127.0.0.1:%s%s?n=%d\n" % (port, path, i))
    os.chmod(name, 0o600)
EOF
}

at_least() { test "$("$1" "$2")" -ge "$3"; } # at_least count|distinct PATH N
exits_at_least() { test "$(grep -c '"ulxcloudsvrexit"' "$record" || true)" -ge "$1"; }
wait_for() { # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local until=$(( $(date +%s) + $1 )); shift
  while ! "$@"; do [ "$(date +%s)" -ge "$until" ] && return 1; sleep 0.1; done
}

echo "== A: $events spooled events"
world a
collector "/c=ok"
spool_legacy "$events" /e
t0="$(now_ms)"
serve /start_from:a
wait_for 120 at_least count /e "$events" || true
echo "delivered $(count /e) of $events (distinct $(distinct /e)) in $(( $(now_ms) - t0 )) ms; left in the outbox: $(ls "$outbox" | wc -l) files"
ends term > /dev/null

echo "== B: 2200 spooled events, two runs against a hung collector"
world b
collector "/e=hang"
hung_port="$port"
spool_legacy 2200 /e
for run in 1 2; do
  serve /start_from:b$run
  wait_for 10 at_least count /e "$run" || true
  sleep 1
  if [ "$run" = 1 ]; then echo "SIGTERM with a transfer stuck: $(ends term) ms"; else echo "force_exit with a transfer stuck: $(ends force) ms"; fi
done
kill "$collector_pid"; wait "$collector_pid" 2>/dev/null || true
collector "/e=ok" "$hung_port"
serve /start_from:b3
wait_for 60 at_least distinct /e 2200 || true
echo "delivered after the collector came back: $(distinct /e) distinct of 2200 ($(count /e) requests)"
ends term > /dev/null

echo "== C: $starts second starts, 20 at a time"
world c
collector "/c=ok"
serve /start_from:serving
t0="$(now_ms)"
seq "$starts" | xargs -P 20 -I{} "$bin/ulxcloudsvr" /start_from:s{} /x 2>/dev/null
echo "second starts ended in $(( $(now_ms) - t0 )) ms"
wait_for 60 exits_at_least "$starts" || true
sleep 2
python3 - "$record" "$starts" <<'EOF'
import json, sys, collections
seen = collections.Counter()
for line in open(sys.argv[1]):
    r = json.loads(line)
    p = r.get("pairs") or []
    if len(p) > 7 and p[1][1] == "ulxcloudsvrexit":
        seen[p[7][1]] += 1
total = sum(seen.values())
print("exit events arrived %d, distinct %d of %s, duplicates %d" % (total, len(seen), sys.argv[2], total - len(seen)))
EOF
ends term > /dev/null

echo "== D: a 520 MB spool"
world d
collector "/c=ok"
python3 -c "
import sys
line = b'http://127.0.0.1:1/big?' + b'x' * 1000 + b'\n'
with open(sys.argv[1], 'wb') as f:
    for _ in range(520 * 1024 * 1024 // len(line)): f.write(line)
" "$outbox/00000000000001-1-0.urls"
chmod 600 "$outbox/00000000000001-1-0.urls"
t0="$(now_ms)"
serve /start_from:d
wait_for 30 grep -q "is over the bound" "$log" || true
echo "removed after $(( $(now_ms) - t0 )) ms: $(grep -o 'spool [^ ]* of [0-9]* bytes is over the bound of [0-9]* bytes' "$log" | head -1)"
echo "serving process peak memory: $(grep VmHWM /proc/$service_pid/status | tr -s ' ')"
ends term > /dev/null
world d2
collector "/c=ok"
serve /start_from:d2
echo "the same without the spool: $(grep VmHWM /proc/$service_pid/status | tr -s ' ')"
ends term > /dev/null
