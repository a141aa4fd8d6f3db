#!/usr/bin/env bash
# Prints the Windows build tree whose programs Wine can run on this machine:
# "win32" where the kernel runs 32-bit programs (Wine's 32-bit loader
# starts), else "win64". Some kernels ship with 32-bit emulation switched
# off; there the same sources are built and tested as 64-bit programs.
if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then echo win32; else echo win64; fi
