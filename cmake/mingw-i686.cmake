# 32-bit Windows console program, the tool's production target.
set(DREMLIX_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
