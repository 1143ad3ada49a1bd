# Third-party libraries, all from Debian's packages (scripts/setup installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
# OpenBLAS: the pthread flavour; the platform layer decides how it is threaded.
find_path(OPENBLAS_INCLUDE_DIR cblas.h
  PATHS /usr/include/x86_64-linux-gnu/openblas-pthread /usr/include/openblas /usr/include
  NO_DEFAULT_PATH)
find_library(OPENBLAS_LIBRARY NAMES openblas
  PATHS /usr/lib/x86_64-linux-gnu/openblas-pthread /usr/lib/x86_64-linux-gnu)
if(NOT OPENBLAS_INCLUDE_DIR OR NOT OPENBLAS_LIBRARY)
  message(FATAL_ERROR "OpenBLAS not found: run scripts/setup")
endif()
add_library(vorn_openblas INTERFACE)
target_include_directories(vorn_openblas SYSTEM INTERFACE ${OPENBLAS_INCLUDE_DIR})
target_link_libraries(vorn_openblas INTERFACE ${OPENBLAS_LIBRARY})

add_library(vorn_deps INTERFACE)
target_link_libraries(vorn_deps INTERFACE
  Threads::Threads JPEG::JPEG PNG::PNG nlohmann_json::nlohmann_json
  PkgConfig::XXHASH vorn_openblas ${CMAKE_DL_LIBS} m)
