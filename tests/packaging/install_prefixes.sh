#!/bin/sh
# cmake --install into two prefixes: each unit and configuration names its
# own tree; a second install keeps an edited configuration file and puts the
# new one beside it. Arguments: cmake, the build directory, a scratch
# directory, and systemd-analyze (optional).
set -eu
cmake=$1 build=$2 scratch=$3 analyze=${4:-}
fail() { echo "FAILED: $*" >&2; exit 1; }
rm -rf "$scratch"
mkdir -p "$scratch"
a=$scratch/a b=$scratch/b
"$cmake" --install "$build" --prefix "$a" >/dev/null
"$cmake" --install "$build" --prefix "$b" >/dev/null

for p in "$a" "$b"; do
  unit=$p/lib/systemd/system/ravlon.service
  for line in "ExecStart=$p/bin/ravlon" "ExecStartPre=-+$p/bin/ravlonctl setup --prefix $p" \
              "ExecReload=$p/bin/ravlonctl check-config $p/etc/ravlon/ravlon.conf" \
              "ReadWritePaths=-$p/var/lib/ravlon -$p/var/log/ravlon -/var/lib/telvar/registry" \
              "Documentation=file:$p/share/doc/ravlon/README.md"; do
    grep -qxF "$line" "$unit" || fail "$unit has no line $line"
  done
  other=$a; [ "$p" = "$a" ] && other=$b
  grep -qF "$other" "$unit" "$p/etc/ravlon/ravlon.conf" && fail "$p names $other"
  grep -qF "conf(DirName) = \"$p/etc/ravlon/\"" "$p/etc/ravlon/ravlon.conf" || fail "$p's ravlon.conf"
  grep -qF "working-dir(DirName) = \"$p/var/lib/ravlon/work/\"" "$p/etc/ravlon/ravlon.conf" || fail "$p's ravlon.conf"
  [ -f "$p/share/ravlon/processors.counters" ] && [ ! -e "$p/etc/ravlon/processors.counters" ] ||
    fail "$p: the host's counters files are templates for setup"
done
if [ -n "$analyze" ]; then
  # The account may not exist here; everything else must please systemd.
  out=$("$analyze" verify "$a/lib/systemd/system/ravlon.service" 2>&1 || true)
  echo "$out" | grep -v "Failed to resolve user\|user ravlon\|User=ravlon" |
    grep -Ei "warn|error|unknown|not executable|invalid|ignoring" && fail "systemd-analyze verify: $out"
fi

# An edited file is kept; the new version goes beside it, and is said so.
conf=$a/etc/ravlon/ravlon.conf
shipped=$(cat "$conf")
printf '%s\n' "$shipped" | sed 's/interval(TimeSpan) = P12H/interval(TimeSpan) = P1H/' >"$conf"
edited=$(cat "$conf")
out=$("$cmake" --install "$build" --prefix "$a")
[ "$(cat "$conf")" = "$edited" ] || fail "the edited ravlon.conf was overwritten"
[ "$(cat "$conf.new")" = "$shipped" ] || fail "ravlon.conf.new is not the shipped file"
echo "$out" | grep -qF "Kept: $conf (edited; the new version is $conf.new)" || fail "not said: $out"
echo "$out" | grep -qF "Up-to-date: $a/etc/ravlon/primetime" || fail "an unchanged file is not up to date"
rm -rf "$scratch"
echo passed
