# Third-party libraries, all from Debian's packages (scripts/setup installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
# OpenBLAS: Debian's threaded build, opened by platform/blas_library.cpp at
# the first product instead of linked. Loading libvorn.so then starts none of
# its threads; the loader sets it to one thread and ends its workers, since
# our pool splits the products and calls it from several threads at once
# (which the threaded build allows: it locks its buffer table; the serial
# build does not and gives wrong products). The OpenMP build would allow it
# too, but its one-thread setting is the calling thread's OpenMP setting, so
# an application's own parallel regions would shrink to one thread. Debian
# installs its builds side by side and points libopenblas.so.0 at one of
# them through the alternatives system; naming the threaded build's file
# makes the choice ours.
set(VORN_OPENBLAS_DIR /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-pthread)
find_path(VORN_OPENBLAS_INCLUDE_DIR cblas.h
  PATHS /usr/include/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-pthread NO_DEFAULT_PATH)
find_file(VORN_OPENBLAS_RUNTIME libopenblas.so.0 PATHS ${VORN_OPENBLAS_DIR} NO_DEFAULT_PATH)
if(NOT VORN_OPENBLAS_INCLUDE_DIR OR NOT VORN_OPENBLAS_RUNTIME)
  message(FATAL_ERROR "OpenBLAS (libopenblas-pthread-dev) not found: run scripts/setup")
endif()
add_library(vorn_openblas INTERFACE)
target_include_directories(vorn_openblas SYSTEM INTERFACE ${VORN_OPENBLAS_INCLUDE_DIR})
target_compile_definitions(vorn_openblas INTERFACE VORN_OPENBLAS_LIBRARY="${VORN_OPENBLAS_RUNTIME}")

add_library(vorn_deps INTERFACE)
target_link_libraries(vorn_deps INTERFACE
  Threads::Threads JPEG::JPEG PNG::PNG nlohmann_json::nlohmann_json
  PkgConfig::XXHASH vorn_openblas ${CMAKE_DL_LIBS} m)
