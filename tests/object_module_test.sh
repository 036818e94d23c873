#!/usr/bin/env bash
# The main unit's object module uses the TCP stream but must not carry it:
# the program gets the stream from the net_tools library at link time.
set -euo pipefail
object=$1
undefined=$(nm -C --undefined-only "$object" | grep -c 'net_tools::tcp_stream::' || true)
defined=$(nm -C --defined-only "$object" | grep -c 'net_tools::tcp_stream::' || true)
echo "stream operations referred to: $undefined, defined: $defined"
# The constructor, get, the two text insertions, close, the destructor and the test.
[ "$undefined" -ge 7 ] && [ "$defined" -eq 0 ]
