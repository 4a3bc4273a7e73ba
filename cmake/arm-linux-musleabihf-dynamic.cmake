# The router build for a router whose C library is musl (the usual open
# firmware): linked against the router's own musl, its loader
# /lib/ld-musl-armhf.so.1, rather than carrying a copy of it as the static
# build does:
#   cmake -S . -B build-musl-dynamic -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-musleabihf-dynamic.cmake
set(TAVRIN_MUSL_DYNAMIC ON)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-musleabihf.cmake)
