#!/bin/sh
# Builds Ravlon and runs it in the foreground on a demo installation under
# the build tree: its own resource store, runtime directory, working and log
# directories, the default configuration of etc/, and no start pauses.
# Nothing is written outside the build tree; only installing missing
# packages (tools/deps.sh) asks for root. Ctrl-C stops the collector with
# every record delivered.
#
#   tools/demo.sh            build in ./build, install into ./build/demo
#   BUILD=DIR tools/demo.sh  another build directory
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$source_dir/build}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac
demo=$build/demo

"$source_dir/tools/deps.sh" --build
cmake -S "$source_dir" -B "$build" >/dev/null
cmake --build "$build" -j2 --target ravlon ravlonctl
cmake --install "$build" --prefix "$demo" >/dev/null

export TELVAR_REGISTRY_ROOT="$demo/registry"
export TELVAR_RUNTIME_DIR="$demo/run"
unset TELVAR_ENV
export RAVLON_START_DELAY="${RAVLON_START_DELAY:-0}"
export RAVLON_SETTLE_DELAY="${RAVLON_SETTLE_DELAY:-0}"
mkdir -p "$TELVAR_RUNTIME_DIR" && chmod 0750 "$TELVAR_RUNTIME_DIR"
# Also makes the counters files for this host (its processors, interfaces
# and disks) from the templates in share/ravlon.
"$demo/bin/ravlonctl" setup --prefix "$demo" --force >/dev/null

state=$demo/var/lib/ravlon
log=$demo/var/log/ravlon
cat <<INFO

Demo installation: $demo
  configuration  $demo/etc/ravlon/ravlon.conf
  counters files $demo/etc/ravlon/*.counters (made for this host)
  resources      $TELVAR_REGISTRY_ROOT
  data files     below $state (records at every :00 and :30 second mark;
                 *.make.tmp while written, *.data once delivered)
  debug log      $log
Send it commands from another terminal, with the same environment:
  export TELVAR_REGISTRY_ROOT=$TELVAR_REGISTRY_ROOT TELVAR_RUNTIME_DIR=$TELVAR_RUNTIME_DIR
  $demo/bin/ravlonctl send --wait 5 SEND_PROCESS_INFO   (or RAVLONDUMP: both reply)
  $demo/bin/ravlonctl send RECONFIG                     (or DIE: no reply; see the log)
  $demo/bin/ravlonctl status
Press Ctrl-C to stop it.

INFO

# Shows each record as it lands: the file and its two lines.
watch_records() {
    started=$(date +%s)
    seen=$demo/.seen
    mkdir -p "$seen"
    while sleep 1; do
        find "$state" -type f -name '*.make.tmp' 2>/dev/null | sort | while read -r file; do
            key=$seen/$(printf '%s' "$file" | cksum | cut -d' ' -f1)
            old=$(cat "$key" 2>/dev/null || echo 0)
            new=$(grep -c '^30:' "$file" 2>/dev/null || true)
            [ "${new:-0}" -gt "$old" ] || continue
            echo "$new" >"$key"
            echo "[+$(($(date +%s) - started)) s] record in $file"
            grep -A1 '^30:' "$file" | tail -n 2 | cut -c1-160 | sed 's/^/    /'
        done
    done
}
watch_records &
watcher=$!

# Ctrl-C reaches ravlon too; the script itself stays to report.
trap ':' INT TERM
status=0
"$demo/bin/ravlon" || status=$?
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true

echo
echo "ravlon ended with status $status. Delivered data files:"
find "$state" -type f -name '*.data' | sort | sed 's/^/  /'
left=$(find "$state" -type f -name '*.make*' | wc -l)
echo "Files not delivered: $left"
exit "$status"
