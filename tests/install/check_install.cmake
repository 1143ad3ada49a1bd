# cmake -DBUILD=... -DSOURCE=... -DHERE=... -DCC=... -DGENERATOR=... -P check_install.cmake
# Installs BUILD into a fresh prefix under the temporary folder, copies the
# example there and builds and runs it twice: with the flags pkg-config gives
# and through find_package(vorn). Nothing may point back into SOURCE or BUILD.
function(fail text)
  file(REMOVE_RECURSE ${work})
  message(FATAL_ERROR "${text}")
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    fail("failed: ${ARGN}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(tmp "$ENV{TMPDIR}")
if(tmp STREQUAL "")
  set(tmp /tmp)
endif()
string(RANDOM LENGTH 10 tag)
set(work ${tmp}/vorn_install_${tag})
set(prefix ${work}/prefix)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/app)

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
file(COPY ${HERE}/hello.c DESTINATION ${work}/app)
file(COPY ${HERE}/consumer/CMakeLists.txt DESTINATION ${work}/app)

# The installed descriptions and the library's run path name no folder of
# the source or build tree.
file(GLOB_RECURSE described ${prefix}/lib/pkgconfig/* ${prefix}/lib/cmake/*)
run(readelf -d ${prefix}/lib/libvorn.so)
set(dynamic "${out}")
foreach(f IN LISTS described)
  file(READ ${f} text)
  foreach(tree IN ITEMS ${SOURCE} ${BUILD})
    string(FIND "${text}" "${tree}" at)
    if(NOT at EQUAL -1)
      fail("${f} names ${tree}")
    endif()
  endforeach()
endforeach()
string(FIND "${dynamic}" "${BUILD}" at)
if(NOT at EQUAL -1)
  fail("the installed library's run path names the build tree")
endif()

# The installed library exports only the vorn_ family.
run(${CMAKE_COMMAND} -DLIB=${prefix}/lib/libvorn.so -P ${SOURCE}/tests/api/library/check_exports.cmake)

# Runs a built example and checks that it loaded the installed library.
function(check_example exe)
  run(${exe} ${work}/missing.vorn)
  if(NOT out MATCHES "^vorn [0-9]+\\.[0-9]+\\.[0-9][^\n]*\n${work}/missing.vorn: .+")
    fail("unexpected output of ${exe}:\n${out}")
  endif()
  run(ldd ${exe})
  if(NOT out MATCHES "libvorn\\.so\\.0 => ${prefix}/lib/libvorn\\.so\\.0")
    fail("${exe} does not load the installed library:\n${out}")
  endif()
endfunction()

# 1. pkg-config.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(pkg-config --cflags --libs vorn)
string(STRIP "${out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CC} ${work}/app/hello.c ${flags} -Wl,-rpath,${prefix}/lib -o ${work}/app/hello_pkgconfig)
check_example(${work}/app/hello_pkgconfig)

# 2. find_package.
run(${CMAKE_COMMAND} -S ${work}/app -B ${work}/app/build -G ${GENERATOR} -DCMAKE_C_COMPILER=${CC}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${work}/app/build)
check_example(${work}/app/build/hello)

file(REMOVE_RECURSE ${work})
message(STATUS "installed, and built against the installed copy both ways")
