#!/usr/bin/env bash
# The S3 round-trip tier as one ctest of its own: passes when s3rver can be installed (the tier's
# tests then run), else prints why and exits 77, which ctest reports as skipped.
if reason=$(bash "$(dirname "$0")/install_s3rver.sh" 2>&1 >/dev/null); then
  echo "S3 round-trip tests: s3rver is available"
  exit 0
fi
echo "S3 round-trip tests skipped: $reason"
exit 77
