# The program's resource and control ids by their names in app/resource.h: each
# "#define IDC_ASIO 1009" becomes the shell variable IDC_ASIO=1009, read from the header
# whenever a test starts, so the tests address controls as the program's source does
# and follow any renumbering. A name the header lacks is an unbound variable, which
# stops a test run under "set -u".
# Source after lib/common.sh.

e2e_load_resource_ids() {
  local header=$1 name value count=0
  [ -f "$header" ] || e2e_fail "no resource header $header"
  while read -r name value; do
    # Decimal as written; hexadecimal (menu ids) through shell arithmetic.
    printf -v "$name" '%d' "$((value))"
    count=$((count + 1))
  done < <(sed -nE 's/^#define +(ID[A-Z0-9_]+) +(0x[0-9A-Fa-f]+|[1-9][0-9]*|0)$/\1 \2/p' "$header")
  [ "$count" -gt 0 ] || e2e_fail "no resource ids in $header"
}

e2e_load_resource_ids "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/app/resource.h"
