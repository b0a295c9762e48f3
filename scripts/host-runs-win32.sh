#!/usr/bin/env bash
# Exits 0 when this host can run 32-bit Wine (its kernel executes i386 code).
# Some sandboxed kernels cannot; the x86 tests are then built but not run.
/usr/lib/wine/wine --version >/dev/null 2>&1
