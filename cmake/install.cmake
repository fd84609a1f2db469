# Installation: the library with its header, the board emulator, kestrelctl
# and kestreld when they are built (with kestrelctl's bash completion and
# kestreld's front panel), manual pages, the manuals, a CMake package
# (find_package(KestrelLib) gives the target KestrelLib::KestrelLib) and a
# pkg-config file, in the GNU standard places.
# Included at the end of the top-level CMakeLists.txt, once every target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KESTREL_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/KestrelLib")

# The static helper libraries are linked privately into the shared library:
# a shared library's private dependencies stay out of its exported interface,
# so the export set needs only KestrelLib itself.
install(TARGETS KestrelLib
  EXPORT KestrelLibTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/include/KestrelLib.h" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
if(MINGW)
  # Beside the import library: users of Visual C++ make their own from it
  # (lib /def:KestrelLib.def /machine:x64).
  install(FILES "$<TARGET_FILE_DIR:KestrelLib>/KestrelLib.def" DESTINATION "${CMAKE_INSTALL_LIBDIR}")
endif()

install(TARGETS kestrel-board RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/tools/wireshark/kestrel.lua" DESTINATION "${CMAKE_INSTALL_DATADIR}/kestrel/wireshark")
foreach(_kestrel_tool kestrelctl kestreld)
  if(NOT TARGET ${_kestrel_tool})
    continue()
  endif()
  install(TARGETS ${_kestrel_tool} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  # Installed programs find the installed library beside them, wherever the
  # prefix is.
  if(NOT WIN32 AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    file(RELATIVE_PATH _kestrel_bin_to_lib "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
    if(APPLE)
      set_property(TARGET ${_kestrel_tool} APPEND PROPERTY INSTALL_RPATH "@loader_path/${_kestrel_bin_to_lib}")
    else()
      set_property(TARGET ${_kestrel_tool} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/${_kestrel_bin_to_lib}")
    endif()
  endif()
endforeach()

if(TARGET kestrelctl AND NOT WIN32)
  install(FILES "${PROJECT_SOURCE_DIR}/tools/kestrelctl/kestrelctl.bash"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME kestrelctl)
endif()
# The manuals beside the programs (kestreld installs its front panel itself).
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/docs/design.md"
              "${PROJECT_SOURCE_DIR}/docs/python.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
if(TARGET kestreld)
  install(FILES "${PROJECT_SOURCE_DIR}/docs/scpi.md" "${PROJECT_SOURCE_DIR}/docs/http.md"
                "${PROJECT_SOURCE_DIR}/docs/lab-integration.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/manpages.cmake")

# CMake package.
install(EXPORT KestrelLibTargets
  NAMESPACE KestrelLib::
  FILE KestrelLibTargets.cmake
  DESTINATION "${KESTREL_CMAKE_PACKAGE_DIR}")
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/KestrelLibConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/KestrelLibConfig.cmake"
  INSTALL_DESTINATION "${KESTREL_CMAKE_PACKAGE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/KestrelLibConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/KestrelLibConfig.cmake" "${PROJECT_BINARY_DIR}/KestrelLibConfigVersion.cmake"
  DESTINATION "${KESTREL_CMAKE_PACKAGE_DIR}")

# pkg-config file. The prefix is known for sure only when installing
# (cmake --install --prefix DIR), so the file is finished then: the configure
# step fills in everything else and leaves @KESTREL_PC_PREFIX@ for the install
# step.
foreach(_kestrel_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_kestrel_dir}}")
    set(KESTREL_PC_${_kestrel_dir} "${CMAKE_INSTALL_${_kestrel_dir}}")
  else()
    set(KESTREL_PC_${_kestrel_dir} "\${prefix}/${CMAKE_INSTALL_${_kestrel_dir}}")
  endif()
endforeach()
set(KESTREL_PC_PREFIX "@KESTREL_PC_PREFIX@")
configure_file("${PROJECT_SOURCE_DIR}/cmake/KestrelLib.pc.in" "${PROJECT_BINARY_DIR}/KestrelLib.pc.stage" @ONLY)
install(CODE "
  set(KESTREL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/KestrelLib.pc.stage\" \"${PROJECT_BINARY_DIR}/KestrelLib.pc\" @ONLY)
")
install(FILES "${PROJECT_BINARY_DIR}/KestrelLib.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
