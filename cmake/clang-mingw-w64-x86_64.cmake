# Cross-build for 64-bit Windows with clang, the project's second compiler. Debian has no LLVM C++
# library for this target, so it builds on MinGW-w64's: the MinGW sysroot and the headers and
# libraries of the posix-thread GCC (its libstdc++, which GoogleTest needs), linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(W4W_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSROOT /usr/${W4W_MINGW_TRIPLET})
file(GLOB W4W_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${W4W_MINGW_TRIPLET}/*-posix)
list(SORT W4W_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET W4W_MINGW_GCC_DIRS 0 W4W_MINGW_GCC_DIR)
if(NOT IS_DIRECTORY ${W4W_MINGW_GCC_DIR}/include/c++)
  message(FATAL_ERROR "no posix-thread MinGW-w64 GCC under /usr/lib/gcc/${W4W_MINGW_TRIPLET} (Debian package g++-mingw-w64-x86-64-posix)")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${W4W_MINGW_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${W4W_MINGW_TRIPLET})
# clang looks for the C++ headers and libraries in the sysroot, where Debian does not put them.
set(W4W_MINGW_CXX_INCLUDE ${W4W_MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${W4W_MINGW_CXX_INCLUDE} -isystem ${W4W_MINGW_CXX_INCLUDE}/${W4W_MINGW_TRIPLET} -isystem ${W4W_MINGW_CXX_INCLUDE}/backward")
# GNU ld, not lld: Debian's libstdc++.a carries the unwind tables of its template instances in
# COMDAT sections without section symbols, which lld drops, so that an exception thrown through
# such a function (a full disk under an std::ofstream write) ends the process. winpthread, which
# the posix-thread libstdc++ calls into, is linked by clang's driver only for -pthread.
set(CMAKE_EXE_LINKER_FLAGS_INIT "--ld-path=${CMAKE_CURRENT_LIST_DIR}/clang-mingw-ld -L${W4W_MINGW_GCC_DIR} -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

# llvm-windres stores a MESSAGETABLE as a resource type of that name.
set(CMAKE_RC_COMPILER ${W4W_MINGW_TRIPLET}-windres)
# The import check reads GNU objdump's listing.
find_program(CMAKE_OBJDUMP NAMES ${W4W_MINGW_TRIPLET}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
