#!/usr/bin/env bash
# Exits 0 when this host can run 32-bit Wine (its kernel executes i386 code).
# Some sandboxed kernels cannot; the tests then run on the DLL's 64-bit twin.
/usr/lib/wine/wine --version >/dev/null 2>&1
