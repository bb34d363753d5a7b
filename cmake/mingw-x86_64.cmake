# 64-bit Windows console program: the same sources, runnable here under wine64.
set(DREMLIX_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
