#!/usr/bin/env bash
# Installs s3rver, an S3-compatible server that checks SigV4 signatures, from the npm registry
# into a cache folder (once), and prints the path of its start script. Exits non-zero, with the
# reason on stderr, when node or npm is missing or the registry cannot be reached; after such a
# failure it does not try again for ten minutes, so that each test that needs the server skips
# quickly.
#
#   install_s3rver.sh [cache folder]   default: $DM_S3RVER_CACHE, else
#                                      ${XDG_CACHE_HOME:-$HOME/.cache}/dm-switch-traffic/s3rver
set -euo pipefail

version=3.7.1
cache="${1:-${DM_S3RVER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/dm-switch-traffic/s3rver}}"
script="$cache/node_modules/s3rver/bin/s3rver.js"
manifest="$cache/node_modules/s3rver/package.json"

for tool in node npm; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$tool is not installed (Debian: apt-get install nodejs npm)" >&2
    exit 2
  fi
done

mkdir -p "$cache"
# Tests run in parallel: one installs, the others wait for it.
exec 9>"$cache/.lock"
flock 9

installed() { [ -f "$script" ] && grep -q "\"version\": \"$version\"" "$manifest" 2>/dev/null; }

if ! installed; then
  if [ -f "$cache/.failed" ] && [ -n "$(find "$cache/.failed" -mmin -10 2>/dev/null)" ]; then
    echo "s3rver could not be installed a few minutes ago: $(cat "$cache/.failed")" >&2
    exit 3
  fi
  if ! timeout 240 npm install --prefix "$cache" --no-audit --no-fund --fetch-retries=1 \
       --fetch-timeout=30000 "s3rver@$version" >"$cache/npm.log" 2>&1 || ! installed; then
    echo "npm install s3rver@$version failed (see $cache/npm.log)" | tee "$cache/.failed" >&2
    exit 3
  fi
  rm -f "$cache/.failed"
fi
echo "$script"
