# Manual pages for the programs, made at build time by help2man from their
# --help text, so the pages never drift from the programs. Not in a cross
# build, which cannot run the programs it makes. Included by install.cmake.
find_program(KESTREL_HELP2MAN help2man)
if(CMAKE_CROSSCOMPILING)
  return()
endif()
if(NOT KESTREL_HELP2MAN)
  message(STATUS "help2man not found: no manual pages (bash scripts/setup installs it)")
  return()
endif()

set(_kestrel_man_dir "${PROJECT_BINARY_DIR}/man")
set(_kestrel_man_pages)
set(_kestrel_name_kestrelctl "drive a Kestrel clock-source board from the shell and from lab scripts")
set(_kestrel_name_kestrel-board "emulate a Kestrel clock-source board over TCP")
set(_kestrel_name_kestreld "own Kestrel clock-source boards and serve them over SCPI and HTTP")
foreach(_kestrel_program kestrelctl kestrel-board kestreld)
  if(NOT TARGET ${_kestrel_program})
    continue()
  endif()
  set(_kestrel_name "${_kestrel_name_${_kestrel_program}}")
  set(_kestrel_page "${_kestrel_man_dir}/${_kestrel_program}.1")
  # --version-string: kestrel-board has no --version, and all carry the
  # project's version anyway.
  add_custom_command(OUTPUT "${_kestrel_page}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_kestrel_man_dir}"
    COMMAND ${KESTREL_HELP2MAN} --no-info "--name=${_kestrel_name}"
            "--version-string=${PROJECT_VERSION}" "--output=${_kestrel_page}" $<TARGET_FILE:${_kestrel_program}>
    DEPENDS ${_kestrel_program}
    COMMENT "Manual page ${_kestrel_program}.1"
    VERBATIM)
  list(APPEND _kestrel_man_pages "${_kestrel_page}")
endforeach()
add_custom_target(kestrel_man_pages ALL DEPENDS ${_kestrel_man_pages})
install(FILES ${_kestrel_man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
