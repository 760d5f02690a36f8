#!/usr/bin/env bash
# Tells whether the 32-bit Windows programs can run here under 32-bit Wine:
# the machine must execute 32-bit programs (scripts/can-run-32bit.sh) and
# have 32-bit Wine installed. Exit status 0 when they can; otherwise 1, with
# the reason in one line on standard output: the probe's, or why apt cannot
# install 32-bit Wine (asked without installing anything, so any user may ask).
set -uo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/apt-common.sh
. "$scripts/apt-common.sh"

if ! no_32bit=$(bash "$scripts/can-run-32bit.sh"); then
  echo "$no_32bit"
  exit 1
fi
is_installed "$wine32_package" && exit 0
if output=$(timeout 120 apt-get -q -s install "$wine32_package" 2>&1); then
  echo "32-bit Wine ($wine32_package) is not installed (as root: bash scripts/install-deps.sh test)"
else
  echo "32-bit Wine ($wine32_package) cannot be installed: $(apt_reason <<<"$output")"
fi
exit 1
