# Cross-builds the Windows x86 (32-bit) program with MinGW-w64: the lister for
# 32-bit programs, which 64-bit Windows runs under WoW64 and which see the
# 32-bit registry view.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_target i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
