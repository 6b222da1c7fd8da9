#!/bin/sh
# Installs what building and testing Ravlon need, on Debian and its
# derivatives (apt-get, as root or through sudo). Does nothing when all is
# there; elsewhere it names the packages and leaves the rest to you.
#
#   tools/deps.sh          what building and the tests need
#   tools/deps.sh --build  only what building needs (the demo), without the
#                          time-series engines the export tests start
set -eu

packages="cmake make g++ pkg-config zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev"
[ "${1:-}" = "--build" ] || packages="$packages python3 prometheus victoria-metrics"

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "deps: not a Debian system; needed: CMake 3.25+, a C++17 compiler, zlib, GoogleTest, Google Benchmark, cpp-httplib (and for the export tests Python 3, Prometheus, VictoriaMetrics)" >&2
    exit 0
fi
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "deps: installing$missing"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "deps: as root, run: apt-get install$missing" >&2
        exit 1
    fi
    sudo=sudo
fi
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
