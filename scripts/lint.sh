#!/usr/bin/env bash
# The lint: clang-format (the repo's .clang-format) over every C++ file, and
# clang-tidy (the repo's .clang-tidy) over src/ and tools/, from the
# compile_commands.json the native preset exports. Fails on any finding; the
# findings are printed, one file after another.
#   bash scripts/lint.sh             both
#   JOBS=4 bash scripts/lint.sh      clang-tidy on 4 files at once (default:
#                                    the number of processors)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD

bash scripts/install-deps.sh lint || exit 1
failed=0

# Every C++ file of the tree, committed or not (ignored ones aside).
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t sources < <(git ls-files --cached --others --exclude-standard -- \
    '*.cpp' '*.h' '*.hpp' '*.cc' | sort -u | while read -r file; do
      [ -f "$file" ] && echo "$file"
    done)
else
  mapfile -t sources < <(find src tools tests bench fuzz examples \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.cc' \) | sort)
fi

started=$SECONDS
if clang-format --dry-run --Werror "${sources[@]}"; then
  echo "clang-format: ${#sources[@]} files as formatted ($((SECONDS - started)) s)"
else
  echo "clang-format: files differ from the format; mend with: clang-format -i FILE..."
  failed=1
fi

started=$SECONDS
cmake --preset native >/dev/null || exit 1
database=build/native/compile_commands.json
mapfile -t units < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$database" |
  grep -E "^$root/(src|tools)/" | sort -u)
if [ ${#units[@]} -eq 0 ]; then
  echo "clang-tidy: no file of src/ or tools/ in $database"
  exit 1
fi
# Each file's findings are kept until it is done, so parallel runs do not
# interleave; xargs fails when any run failed.
if printf '%s\0' "${units[@]}" |
  xargs -0 -n 1 -P "${JOBS:-$(nproc)}" bash -c \
    'out=$(clang-tidy --quiet -p build/native "$0" 2>&1) || { printf "%s\n" "$out"; exit 1; }'; then
  echo "clang-tidy: ${#units[@]} files without findings ($((SECONDS - started)) s)"
else
  echo "clang-tidy: findings above; mend them, or turn the check off in .clang-tidy with the reason"
  failed=1
fi
exit "$failed"
