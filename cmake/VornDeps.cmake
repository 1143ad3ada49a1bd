# Third-party libraries, all from Debian's packages (scripts/setup installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
# OpenBLAS: Debian's OpenMP build, kept at one thread on every thread that
# calls it (platform/blas.cpp). Our worker pool splits the products and calls
# the library from several threads at once, which the OpenMP build allows (it
# locks its buffer table) and the serial build does not: its unguarded
# buffer table hands one packing buffer to two threads and the products come
# out wrong. The OpenMP runtime starts no thread when the library loads, and
# none later while every call runs on one thread. Debian installs its builds
# side by side and points the shared name libopenblas.so.0 at one of them
# through the alternatives system; linking the OpenMP build by its full path
# and searching its folder first at run time (the run path, kept on install)
# makes that choice ours.
set(VORN_OPENBLAS_DIR /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-openmp)
find_path(OPENBLAS_INCLUDE_DIR cblas.h
  PATHS /usr/include/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-openmp NO_DEFAULT_PATH)
find_library(OPENBLAS_LIBRARY NAMES openblas PATHS ${VORN_OPENBLAS_DIR} NO_DEFAULT_PATH)
if(NOT OPENBLAS_INCLUDE_DIR OR NOT OPENBLAS_LIBRARY)
  message(FATAL_ERROR "OpenMP OpenBLAS not found (libopenblas-openmp-dev): run scripts/setup")
endif()
add_library(vorn_openblas INTERFACE)
target_include_directories(vorn_openblas SYSTEM INTERFACE ${OPENBLAS_INCLUDE_DIR})
target_link_libraries(vorn_openblas INTERFACE ${OPENBLAS_LIBRARY})
# Every binary that links OpenBLAS finds the serial one first, built or
# installed.
set(CMAKE_BUILD_RPATH ${VORN_OPENBLAS_DIR})
set(CMAKE_INSTALL_RPATH ${VORN_OPENBLAS_DIR})

add_library(vorn_deps INTERFACE)
target_link_libraries(vorn_deps INTERFACE
  Threads::Threads JPEG::JPEG PNG::PNG nlohmann_json::nlohmann_json
  PkgConfig::XXHASH vorn_openblas ${CMAKE_DL_LIBS} m)
