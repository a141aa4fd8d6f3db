#!/bin/sh
# Compiler and linker launcher for the installer stub: runs the command with
# the win32-thread-model MinGW driver in place of the posix-model one the
# build is configured with. Same flags and target; the stub's C++ runtime then
# needs no winpthreads (about 29 KiB less), while the tests keep the posix
# model their thread support requires.
compiler=$1
shift
case $compiler in
  *-posix) compiler=${compiler%-posix}-win32 ;;
esac
exec "$compiler" "$@"
