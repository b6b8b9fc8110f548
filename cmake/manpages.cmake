# Manual pages made at build time from each program's --help and --version with help2man, and
# installed with the program (the Debian package `quennet`, so `man quennet` works after apt
# install). Another program adds its page with one call:
#   quennet_man_page(TARGET quennetd NAME "MQTT service for ccTalk devices" COMPONENT service)
# Without help2man the build goes on without pages and says so once.

find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(NOT HELP2MAN OR NOT GZIP)
  message(STATUS "help2man or gzip not found: no manual pages (scripts/setup.sh installs them)")
endif()

# A page written by hand instead (roff source in the tree) is compressed and installed the same:
#   quennet_man_page(FILE quennetd.8 SECTION 8 COMPONENT service)
function(quennet_man_page)
  cmake_parse_arguments(PAGE "" "TARGET;FILE;NAME;COMPONENT;SECTION" "" ${ARGN})
  # Sanitizer and fuzzing builds are never packaged; their programs need not run at build time.
  if(NOT GZIP OR QUENNET_SANITIZE OR QUENNET_FUZZ OR (PAGE_TARGET AND NOT HELP2MAN))
    return()
  endif()
  if(NOT PAGE_SECTION)
    set(PAGE_SECTION 1)
  endif()
  if(PAGE_FILE)
    get_filename_component(program ${PAGE_FILE} NAME_WE)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.${PAGE_SECTION})
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/${PAGE_FILE})
    set(make COMMAND ${CMAKE_COMMAND} -E copy ${source} ${page})
  else()
    get_target_property(program ${PAGE_TARGET} OUTPUT_NAME)
    if(NOT program)
      set(program ${PAGE_TARGET})
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.${PAGE_SECTION})
    set(source ${PAGE_TARGET})
    # Run by name from its folder, so the page shows `program`, not the build path. Programs
    # with a window print their help without a display.
    set(make
        COMMAND ${CMAKE_COMMAND} -E env "PATH=$<TARGET_FILE_DIR:${PAGE_TARGET}>:$ENV{PATH}"
                QT_QPA_PLATFORM=offscreen
                ${HELP2MAN} --no-info --no-discard-stderr --section=${PAGE_SECTION}
                "--name=${PAGE_NAME}" --output=${page} ${program})
  endif()
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    ${make}
    COMMAND ${GZIP} -9nf ${page}
    DEPENDS ${source}
    COMMENT "Manual page ${program}(${PAGE_SECTION})"
    VERBATIM)
  add_custom_target(man_${program} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${PAGE_SECTION}
          COMPONENT ${PAGE_COMPONENT})
endfunction()
