#!/usr/bin/env bash
# Tells whether this machine can execute 32-bit x86 programs at all, which
# 32-bit Wine needs: some kernels are built or booted without IA-32 emulation,
# and some sandboxes refuse it. Rather than guessing from the kernel, it builds
# the smallest 32-bit Linux program (exit with status 0, no libraries, made
# with the assembler and linker every g++ brings) and runs it.
# Exit status 0 when it ran; otherwise 1, with the reason on standard output.
# ZELK_SKIP_32BIT_TESTS=1 answers "cannot" on any machine, to rehearse that case.
set -uo pipefail

if [ -n "${ZELK_SKIP_32BIT_TESTS:-}" ]; then
  echo "ZELK_SKIP_32BIT_TESTS is set"
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-ia32-XXXXXX")
trap 'rm -rf "$work"' EXIT

# _exit(0) through the 32-bit system call gate: eax 1 (exit), ebx 0 (status).
printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' > "$work/probe.s"
if ! as --32 -o "$work/probe.o" "$work/probe.s" 2>"$work/build.err" ||
  ! ld -m elf_i386 -o "$work/probe" "$work/probe.o" 2>>"$work/build.err"; then
  echo "the 32-bit probe could not be built: $(head -n 1 "$work/build.err")"
  exit 1
fi
# bash reports a binary the kernel refuses ("cannot execute binary file: Exec
# format error") instead of reading it as a script.
output=$("$work/probe" 2>&1)
status=$?
[ "$status" -eq 0 ] && exit 0
reason=$(printf '%s' "$output" | head -n 1 | sed 's/^.*: \([^:]*: [^:]*\)$/\1/')
echo "this machine does not run 32-bit programs (${reason:-the probe ended with status $status})"
exit 1
