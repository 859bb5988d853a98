# Included after project() by the mingw-w64 toolchain: find_library, and pkg-config's libraries
# with it, takes static archives alone, never a DLL's import library.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
