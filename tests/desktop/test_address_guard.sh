#!/usr/bin/env bash
# Configuring the client for plain HTTP to another machine is refused unless explicitly allowed.
#   test_address_guard.sh SOURCE_DIR
set -euo pipefail
guard=$1/cmake/addresses.cmake
# service address | extra definition | expected exit status of the configure step
cases=(
  "http://127.0.0.1:8931/||0" "http://localhost/||0" "http://[::1]:8931/||0"
  "https://service.example/||0" "http://service.example/||1" "http://127.evil.example/||1"
  "http://10.0.0.1:8931/|-DVELMOTH_ALLOW_PLAINTEXT=ON|0"
)
for case in "${cases[@]}"; do
  IFS='|' read -r url extra expected <<<"$case"
  status=0
  # shellcheck disable=SC2086
  cmake -DVELMOTH_SERVICE_URL="$url" -DVELMOTH_HOME_URL=http://www.example/ $extra -P "$guard" \
    >/dev/null 2>&1 || status=$?
  [ "$status" = "$expected" ] || { echo "FAIL: $url $extra exited $status, expected $expected"; exit 1; }
done
echo "PASS: ${#cases[@]} addresses"
