# Cross toolchain: 64-bit Windows with MinGW-w64, for machines that run no
# 32-bit programs (the same sources, tested under 64-bit Wine).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
