#!/usr/bin/env bash
# bench/held_keys.sh - the report's worst case for memory: every combination a data file
# can hold pressed once and never released (522,240 presses: codes 100 to FFFF under each
# of the 8 modifier sets, one a millisecond), then N quiet marks 3 s apart. Writes the
# file to standard output.
#
#   bench/held_keys.sh [N] > held.txt     (N default 1000)
#   /usr/bin/time -v tapwatcher-report held.txt --summary >/dev/null
set -euo pipefail
exec awk -v quiet="${1:-1000}" 'BEGIN {
    printf "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n"
    tick = 1000
    for (vk = 256; vk < 65536; ++vk)
        for (m = 0; m < 8; ++m)
            printf("%d\t%X\tD\t%s\t%s\t%s\r\n", tick++, vk, m % 2 ? "S" : "",
                   int(m / 2) % 2 ? "C" : "", m >= 4 ? "A" : "")
    for (n = 0; n < quiet; ++n) {
        tick += 3000
        printf "%d\t\t\t\t\t\r\n", tick
    }
}'
