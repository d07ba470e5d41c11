#!/usr/bin/env bash
# Builds the service, hands it a command line and shows what the service did with it.
#   scripts/run.sh                      the demonstration app: /run_app /plugin_name:ulxdemoapp /plugin_params:hello
#   scripts/run.sh /run_plugin /plugin_name:kbubble /plugin_local /plugin_type:dll
# The first start serves and stays in the background (in a session of its own, so a
# Ctrl-C here does not end it); a later start hands its line to it. This script
# follows the service's log until the command has run (a run_app until its task
# finishes; anything else until the log has been quiet for 2 s, at most 60 s), shows
# those lines, and says where the log is and how to go on.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/build.sh"

[ $# -gt 0 ] || set -- /run_app /plugin_name:ulxdemoapp /plugin_params:hello
service="$build/bin/ulxcloudsvr"
state="${XDG_STATE_HOME:-$HOME/.local/state}/ulxcloudsvr"
log="$state/ulxcloudsvr.log"
applog="$state/ulxdemoapp.log"
size() { stat -c %s "$1" 2>/dev/null || echo 0; }
from=$(size "$log")
appfrom=$(size "$applog")
is_run_app=0
[ "${1#[-/]}" = "run_app" ] && is_run_app=1

setsid "$service" "$@" &
starter=$!

# "2026-12-05 17:31:02.123 4242 INFO Category message" -> "  17:31:02.123 INFO message"
shorten() { sed -E 's/^[0-9-]+ ([0-9:.]+) [0-9]+ ([A-Z]+) [^ ]+ (.*)$/  \1 \2 \3/'; }
new_lines() { tail -c +"$((from + 1))" "$log" 2>/dev/null || true; }

shown=0 quiet=0 done=0
for _ in $(seq 1 300); do # 0.2 s steps, 60 s
  text="$(new_lines)"
  count=$(printf '%s' "$text" | grep -c '' || true)
  if [ "$count" -gt "$shown" ]; then
    printf '%s\n' "$text" | tail -n +"$((shown + 1))" | head -n "$((count - shown))" | shorten
    shown=$count quiet=0
  else
    quiet=$((quiet + 1))
  fi
  if [ "$is_run_app" = 1 ]; then
    printf '%s' "$text" | grep -q 'KxUlxCloudSvrRunAppTask::finish ' && done=1
  else
    [ "$shown" -gt 0 ] && [ "$quiet" -ge 10 ] && done=1
  fi
  [ "$done" = 1 ] && break
  if [ -n "$starter" ] && ! kill -0 "$starter" 2>/dev/null; then
    rc=0
    wait "$starter" || rc=$?
    starter=""
    if [ "$rc" -ne 0 ]; then
      echo "ulxcloudsvr ended with exit code $rc before the command had run." >&2
      break
    fi
  fi
  sleep 0.2
done
[ "$done" = 1 ] || echo "(no end of the command seen in the log within 60 s; it may still be running)"

# The demonstration app writes one line per start, a moment after its launch.
if [ "$is_run_app" = 1 ]; then
  for _ in $(seq 1 25); do
    [ "$(size "$applog")" -gt "$appfrom" ] && break
    sleep 0.2
  done
  if [ "$(size "$applog")" -gt "$appfrom" ]; then
    echo "The app says ($applog):"
    tail -c +"$((appfrom + 1))" "$applog" | sed 's/^/  /'
  fi
fi

echo
echo "The service's log: $log"
echo "Another command:   $service /run_app /plugin_name:ulxdemoapp \"/plugin_params:a&b\""
echo "Stop the service:  $service /force_exit"
