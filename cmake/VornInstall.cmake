# cmake --install: the shared library with its version links, the public
# headers, the command-line tools with their manual pages, and the two
# descriptions applications find it by: vorn.pc for pkg-config and the
# package vorn (imported target vorn::vorn) for CMake's find_package. Both
# name only the library and its include folder; the image libraries and
# the others it links stay private dependencies of libvorn.so.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vorn EXPORT vornTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/vorn.h ${CMAKE_SOURCE_DIR}/include/vorn.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(vorn_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vorn)
install(EXPORT vornTargets NAMESPACE vorn:: DESTINATION ${vorn_cmake_dir})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/vornConfig.cmake.in
  ${CMAKE_BINARY_DIR}/vornConfig.cmake INSTALL_DESTINATION ${vorn_cmake_dir})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vornConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vornConfig.cmake ${CMAKE_BINARY_DIR}/vornConfigVersion.cmake
  DESTINATION ${vorn_cmake_dir})

# vorn.pc names the prefix given at install time (cmake --install --prefix).
set(VORN_PC_PREFIX "@VORN_PC_PREFIX@")
configure_file(${CMAKE_SOURCE_DIR}/cmake/vorn.pc.in ${CMAKE_BINARY_DIR}/vorn.pc.in @ONLY)
install(CODE "
  set(VORN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(${CMAKE_BINARY_DIR}/vorn.pc.in ${CMAKE_BINARY_DIR}/pc/vorn.pc @ONLY)
  file(INSTALL ${CMAKE_BINARY_DIR}/pc/vorn.pc DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
")

# The tools: installed beside the library they load, and documented by
# manual pages made from their --help.
if(TARGET vorn-load)
  set(tools vorn-load vorn-demo vorn-chat vorn-vulkan)
  set_target_properties(${tools} PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ${tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(summary_vorn-load "convert an ONNX model into a .vorn container")
  set(summary_vorn-demo "read the text of a photo with a text detector and recogniser")
  set(summary_vorn-chat "chat with a vision-language model, run request files, prepare model inputs")
  set(summary_vorn-vulkan "prepare model inputs, and chat on a Vulkan device in builds that have one")
  set(pages "")
  foreach(tool IN LISTS tools)
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${tool}> -DNAME=${tool} "-DSUMMARY=${summary_${tool}}"
              -DVERSION=${PROJECT_VERSION} -DOUT=${page} -P ${CMAKE_SOURCE_DIR}/cmake/help_to_man.cmake
      DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/cmake/help_to_man.cmake
      COMMENT "Manual page of ${tool}")
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(vorn_man ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
