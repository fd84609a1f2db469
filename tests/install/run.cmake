# Steps of the installation test, run with cmake -P:
#   -DSTEP=install      installs BUILD_DIR (configuration CONFIG) into PREFIX
#   -DSTEP=find_package builds and runs the consumer through find_package(KestrelLib)
#   -DSTEP=pkg_config   builds and runs the consumer through pkg-config
# Other variables: SOURCE_DIR (the consumer project), WORK_DIR (scratch),
# GENERATOR, C_COMPILER, C_FLAGS, PKG_CONFIG, LIBDIR (relative to PREFIX),
# MAN_PAGES and COMPLETION (whether the install step expects those files).
cmake_minimum_required(VERSION 3.25)

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " line "${ARGN}")
    message(FATAL_ERROR "${line}\nfailed (${result}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# The consumer must print the version and nothing else.
function(check_consumer program)
  run_checked("${program}")
  string(STRIP "${run_output}" printed)
  if(NOT printed STREQUAL "2.2.1")
    message(FATAL_ERROR "${program} printed '${printed}', expected 2.2.1")
  endif()
  message(STATUS "${program}: ${printed}")
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE "${PREFIX}")
  set(config_args)
  if(CONFIG)
    set(config_args --config "${CONFIG}")
  endif()
  run_checked("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" ${config_args})
  set(expected "include/KestrelLib.h" "${LIBDIR}/cmake/KestrelLib/KestrelLibConfig.cmake"
               "${LIBDIR}/cmake/KestrelLib/KestrelLibConfigVersion.cmake" "${LIBDIR}/pkgconfig/KestrelLib.pc"
               "share/kestrel/wireshark/kestrel.lua")
  if(MAN_PAGES)
    list(APPEND expected "share/man/man1/kestrelctl.1" "share/man/man1/kestrel-board.1")
  endif()
  if(COMPLETION)
    list(APPEND expected "share/bash-completion/completions/kestrelctl")
  endif()
  foreach(file IN LISTS expected)
    if(NOT EXISTS "${PREFIX}/${file}")
      message(FATAL_ERROR "the installation lacks ${file}")
    endif()
  endforeach()

elseif(STEP STREQUAL "find_package")
  set(build "${WORK_DIR}/find_package")
  file(REMOVE_RECURSE "${build}")
  run_checked("${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${build}" -G "${GENERATOR}"
              "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${C_FLAGS}" -DCMAKE_BUILD_TYPE=Release
              "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DEXPECTED_PREFIX=${PREFIX}"
              -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  run_checked("${CMAKE_COMMAND}" --build "${build}" --config Release)
  file(GLOB_RECURSE programs "${build}/consumer" "${build}/consumer.exe")
  list(GET programs 0 program)
  check_consumer("${program}")

elseif(STEP STREQUAL "pkg_config")
  set(build "${WORK_DIR}/pkg_config")
  file(REMOVE_RECURSE "${build}")
  file(MAKE_DIRECTORY "${build}")
  set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
  run_checked("${PKG_CONFIG}" --modversion KestrelLib)
  string(STRIP "${run_output}" version)
  if(NOT version STREQUAL "2.2.1")
    message(FATAL_ERROR "pkg-config reports version '${version}', expected 2.2.1")
  endif()
  run_checked("${PKG_CONFIG}" --variable=libdir KestrelLib)
  string(STRIP "${run_output}" libdir)
  run_checked("${PKG_CONFIG}" --cflags --libs KestrelLib)
  string(STRIP "${run_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(extra UNIX_COMMAND "${C_FLAGS}")
  run_checked("${C_COMPILER}" ${extra} "${SOURCE_DIR}/consumer.c" -o "${build}/consumer" ${flags}
              "-Wl,-rpath,${libdir}")
  check_consumer("${build}/consumer")

else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
