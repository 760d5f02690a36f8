# shellcheck shell=bash
# Sourced by install-deps.sh and can-run-wine32.sh: how a package is asked
# after and how apt's answer is put in one line.

# is_installed PACKAGE: dpkg has PACKAGE (name[:arch]) installed.
is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# apt_reason: reads apt-get's output and prints its own reason in one line,
# its error lines ("E: ...") joined; the last line when it gave none.
apt_reason() {
  local output errors
  output=$(cat)
  errors=$(printf '%s\n' "$output" | sed -n 's/^E: //p' | paste -sd ';' - | sed 's/;/; /g')
  if [ -n "$errors" ]; then
    printf '%s\n' "$errors"
  else
    printf '%s\n' "$output" | sed '/^[[:space:]]*$/d' | tail -n 1
  fi
}

# The 32-bit Wine package, and what it takes: the i386 architecture.
# shellcheck disable=SC2034 # used by the scripts that source this file
wine32_package=wine32:i386
