# One object library per subsystem folder. Sources are found by globbing so a
# new file needs no CMake edit; test, bench and fuzz code lives elsewhere.
set(VORN_OBJECT_LIBS "")

function(vorn_add_subsystem name)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/${name}/*.cpp ${CMAKE_SOURCE_DIR}/${name}/*.c)
  if(NOT srcs)
    return()
  endif()
  add_library(vorn_${name} OBJECT ${srcs})
  target_include_directories(vorn_${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(vorn_${name} PUBLIC vorn_deps)
  target_compile_definitions(vorn_${name} PRIVATE VORN_BUILDING_LIBRARY=1)
  set(VORN_OBJECT_LIBS ${VORN_OBJECT_LIBS} vorn_${name} PARENT_SCOPE)
endfunction()

function(vorn_add_library_targets)
  set(objs "")
  foreach(lib IN LISTS VORN_OBJECT_LIBS)
    list(APPEND objs $<TARGET_OBJECTS:${lib}>)
  endforeach()
  # libvorn.so exports only the vorn_* symbols of the public header.
  add_library(vorn SHARED ${objs})
  target_link_libraries(vorn PRIVATE vorn_deps)
  target_link_options(vorn PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/vorn.map)
  if(NOT VORN_SANITIZE AND NOT VORN_FUZZ)
    # Sanitizer runtimes come from the executable, so only a plain build can
    # insist that the library resolves everything itself.
    target_link_options(vorn PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(vorn PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 0
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/vorn.map)
  target_include_directories(vorn PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # The same objects as a static archive, for tests and tools that reach
  # internal functions.
  add_library(vorn_static STATIC ${objs})
  target_include_directories(vorn_static PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(vorn_static PUBLIC vorn_deps)
endfunction()
