# One object library per subsystem folder. Sources are found by globbing so a
# new file needs no CMake edit; test, bench and fuzz code lives elsewhere.
set(VORN_OBJECT_LIBS "")

# vorn_add_subsystem(name [SEES lower...]): the folder `name` as one object
# library that may include its own headers, those of the folders listed
# after SEES and the public header, and nothing else. Each subsystem's
# include path is a directory of links to exactly those folders, so an
# include that runs up the layers fails to compile.
function(vorn_add_subsystem name)
  cmake_parse_arguments(ARG "" "" "SEES" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/${name}/*.cpp ${CMAKE_SOURCE_DIR}/${name}/*.c)
  if(NOT srcs)
    return()
  endif()
  set(view ${CMAKE_BINARY_DIR}/layer_views/${name})
  set(visible ${name} ${ARG_SEES})
  file(MAKE_DIRECTORY ${view})
  file(GLOB present RELATIVE ${view} LIST_DIRECTORIES true ${view}/*)
  foreach(entry IN LISTS present)
    if(NOT entry IN_LIST visible)
      file(REMOVE ${view}/${entry})  # a link from an earlier list; never followed
    endif()
  endforeach()
  foreach(dir IN LISTS visible)
    if(NOT IS_DIRECTORY ${CMAKE_SOURCE_DIR}/${dir})
      message(FATAL_ERROR "subsystem ${name} sees ${dir}, which is not a folder")
    endif()
    if(NOT EXISTS ${view}/${dir})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${dir} ${view}/${dir} SYMBOLIC)
    endif()
  endforeach()
  add_library(vorn_${name} OBJECT ${srcs})
  target_include_directories(vorn_${name} PRIVATE ${view} ${CMAKE_SOURCE_DIR}/include)
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
