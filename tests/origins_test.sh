#!/usr/bin/env bash
# The build's check of OSTREL_SITE_ORIGINS: each row an origin list and what
# the check says of it ("" when it passes).
set -uo pipefail
check=$1
status=0
while IFS='|' read -r origins want; do
  have=$(cmake -DORIGINS="$origins" -P "$check" 2>&1 | tr -s ' \n' ' ')
  if { [ -z "$want" ] && [ -n "$have" ]; } || [[ $have != *"$want"* ]]; then
    echo "FAIL: $origins: have \"$have\", want \"$want\""
    status=1
  fi
done <<'ROWS'
https://www.example.org http://example.org:8080|
https://bücher.example|IDNA form, "https://xn--bcher-kva.example"
https://a.example/|a trailing slash
https://a.example/form|a path
https://a.example?x=1|a query
www.example.org|no scheme
https://|no host
ROWS
exit $status
