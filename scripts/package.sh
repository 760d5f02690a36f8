#!/usr/bin/env bash
# Makes the three release packages into dist/ with CMake's install rules and
# CPack, then tests each from a fresh folder (tests/package_test.sh):
#   zelkforward-<version>-windows-x86.zip      32-bit hosts on Windows
#   zelkforward-<version>-windows-x64.zip      64-bit hosts on Windows
#   zelkforward-<version>-linux-x86_64.tar.gz  hosts on Linux
#   SHA256SUMS                                 their SHA-256 sums (sha256sum -c SHA256SUMS)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh package
rm -rf dist
for preset in native windows windows64; do
  echo "== package: $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target zelkforward zelkhost
  (cd "build/$preset" && cpack)
done
rm -rf dist/_CPack_Packages
# The sums beside the packages, for whoever takes them over another way.
(cd dist && sha256sum zelkforward-* >SHA256SUMS)
echo
ls -l dist
echo
bash tests/package_test.sh dist
