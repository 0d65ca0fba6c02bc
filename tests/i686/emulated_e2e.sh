#!/usr/bin/env bash
# The 32-bit x86 Linux build under qemu-i386, byte for byte against the native build: the same
# comparison as every emulated Linux build (tests/cross/emulated_e2e.sh, which documents the arguments).
# Usage: emulated_e2e.sh EMULATOR I686_EXE NATIVE_EXE EXAMPLE_DIR CONFORMANCE_DIR [SCRATCH_PARENT]
exec bash "$(dirname "$0")/../cross/emulated_e2e.sh" "$@"
