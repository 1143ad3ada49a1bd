# Third-party libraries, all from Debian's packages (scripts/setup installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)
add_library(vorn_deps INTERFACE)
target_link_libraries(vorn_deps INTERFACE
  Threads::Threads JPEG::JPEG PNG::PNG nlohmann_json::nlohmann_json
  PkgConfig::XXHASH ${CMAKE_DL_LIBS} m)
