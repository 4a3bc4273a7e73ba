# The router build for any 32-bit ARM Linux userland (uClibc-ng, musl, an
# old glibc): a static position-independent executable with musl's C
# library (Debian's musl-dev:armhf), which needs no dynamic loader and no
# library on the router:
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-musleabihf.cmake
# With TAVRIN_MUSL_DYNAMIC set first (cmake/arm-linux-musleabihf-dynamic.cmake
# does), the build for a router whose own C library is musl: linked
# against it, its loader /lib/ld-musl-armhf.so.1.
# The compiler is Debian's armhf cross g++, pointed at musl's headers,
# start files and libraries by musl's own specs file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TRIPLE arm-linux-gnueabihf)
set(MUSL_LIB /usr/lib/arm-linux-musleabihf)
set(CMAKE_C_COMPILER ${TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TRIPLE}-g++)

# musl's specs leave out the C++ headers; they come from the cross g++,
# which configured them for glibc. The daemon takes only header-only parts
# of them (<atomic>, <cstring>...): glibc's version test is answered "no",
# and C++20's atomic wait and notify (which would bring threads and
# locales) is left out.
set(TAVRIN_CXX_HEADERS /usr/${TRIPLE}/include/c++/12)
string(JOIN " " CMAKE_CXX_FLAGS_INIT
  "-specs ${MUSL_LIB}/musl-gcc.specs"
  "-isystem ${TAVRIN_CXX_HEADERS} -isystem ${TAVRIN_CXX_HEADERS}/${TRIPLE}"
  "'-D__GLIBC_PREREQ(major, minor)=0' -D_GLIBCXX_ATOMIC_WAIT_H")
set(CMAKE_C_FLAGS_INIT "-specs ${MUSL_LIB}/musl-gcc.specs")

# Static and position-independent (static-PIE: 288 bytes more than a plain
# static link, for an address-randomised binary with RELRO). The specs know
# no -static-pie: musl's self-relocating start file rcrt1.o is named here,
# with the linker told there is no dynamic loader. (The compile flags reach
# the link line too: the specs are given once.) Dynamic: the specs' own
# start files and loader.
if(NOT TAVRIN_MUSL_DYNAMIC)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=crtbeginS.o
  OUTPUT_VARIABLE TAVRIN_CRTBEGIN OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=crtendS.o
  OUTPUT_VARIABLE TAVRIN_CRTEND OUTPUT_STRIP_TRAILING_WHITESPACE)
string(JOIN " " CMAKE_EXE_LINKER_FLAGS_INIT
  "-nostartfiles ${MUSL_LIB}/rcrt1.o ${MUSL_LIB}/crti.o ${TAVRIN_CRTBEGIN}"
  "-Wl,-static,-pie,--no-dynamic-linker,-z,text")
set(CMAKE_CXX_STANDARD_LIBRARIES "${TAVRIN_CRTEND} ${MUSL_LIB}/crtn.o")
else()
# The cross g++'s libstdc++.so and libgcc_s are glibc's: their archives
# instead, from which the daemon takes nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
endif()

set(TAVRIN_MUSL ON CACHE BOOL "Build with musl" FORCE)

set(CMAKE_FIND_ROOT_PATH /usr/${TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QEMU_ARM qemu-arm)
if(QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM})
endif()
