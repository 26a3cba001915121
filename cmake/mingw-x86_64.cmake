# Cross build for 64-bit Windows: a test vehicle only, for hosts whose kernel
# runs no 32-bit programs (and so no 32-bit Wine). The vendor's adapter library
# is 32-bit, so nothing of this build is packaged.
#   cmake -S . -B build-windows64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVAN_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
