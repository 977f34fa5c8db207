# What `cmake --install` puts where on Linux (see packaging.cmake), and what the
# build makes for it: the manual pages, zolhost(1) from zolhost's own --help so it
# lists exactly the options zolhost takes; the changelog; the pytest plugin's
# dist-info from pytest-zolemul/pyproject.toml.
set(ZOL_WIRESHARK_LUA_DIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins
    CACHE STRING "Where the Wireshark dissector is installed (Wireshark's global Lua plugin folder under /usr)")
set(ZOL_PYTHON_DIR lib/python3/dist-packages
    CACHE STRING "Where the pytest plugin is installed (Debian's python3 reads lib/python3/dist-packages under /usr)")

set(zol_debian ${PROJECT_SOURCE_DIR}/cmake/debian)
set(zol_share ${PROJECT_BINARY_DIR}/generated/share)

# The changelog's newest entry is this version's: its date is the manual pages'.
file(STRINGS ${zol_debian}/changelog zol_top LIMIT_COUNT 1)
if(NOT zol_top MATCHES "^zolemul \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry is not version ${PROJECT_VERSION}: "
                      "add one for it, on top")
endif()
file(STRINGS ${zol_debian}/changelog zol_signed REGEX "^ -- " LIMIT_COUNT 1)
if(NOT zol_signed MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "cmake/debian/changelog: no date in the newest entry's trailer line")
endif()
set(zol_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND zol_months ${CMAKE_MATCH_2} zol_month)
math(EXPR zol_month "${zol_month} + 1" OUTPUT_FORMAT DECIMAL)
string(LENGTH "${zol_month}" zol_digits)
if(zol_digits EQUAL 1)
  set(zol_month 0${zol_month})
endif()
set(ZOL_RELEASE_DATE ${CMAKE_MATCH_3}-${zol_month}-${CMAKE_MATCH_1})

# zolemul has no options: its page is written out in full.
configure_file(${PROJECT_SOURCE_DIR}/man/zolemul.1.in ${zol_share}/zolemul.1 @ONLY)
configure_file(${zol_debian}/changelog ${zol_share}/changelog COPYONLY)
set(zol_gzipped ${zol_share}/zolemul.1 ${zol_share}/changelog)

if(TARGET zolhost)
  # Debian's python3 first: the one whose setuptools the package's plugin metadata
  # is made with, wherever else a python3 is on PATH.
  find_program(ZOL_PYTHON3 python3 HINTS /usr/bin)
  zol_require_found(ZOL_PYTHON3 "python3" python3)
  execute_process(COMMAND ${ZOL_PYTHON3} -c "import setuptools.build_meta" RESULT_VARIABLE zol_no_setuptools
                  OUTPUT_QUIET ERROR_QUIET)
  if(zol_no_setuptools)
    set(ZOL_SETUPTOOLS NO)
  else()
    set(ZOL_SETUPTOOLS YES)
  endif()
  zol_require_found(ZOL_SETUPTOOLS "setuptools for ${ZOL_PYTHON3}" python3-setuptools)

  add_custom_command(
    OUTPUT ${zol_share}/zolhost.1
    COMMAND ${ZOL_PYTHON3} ${PROJECT_SOURCE_DIR}/man/usage_to_man.py $<TARGET_FILE:zolhost>
            ${PROJECT_SOURCE_DIR}/man/zolhost.1.in ${ZOL_RELEASE_DATE} ${zol_share}/zolhost.1
    DEPENDS zolhost ${PROJECT_SOURCE_DIR}/man/usage_to_man.py ${PROJECT_SOURCE_DIR}/man/zolhost.1.in
    COMMENT "zolhost(1) from zolhost --help")
  list(APPEND zol_gzipped ${zol_share}/zolhost.1)

  set(zol_dist_info ${zol_share}/python/pytest_zolemul-${PROJECT_VERSION}.dist-info)
  file(GLOB zol_plugin_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/pytest-zolemul/pytest_zolemul/*.py)
  add_custom_command(
    OUTPUT ${zol_dist_info}/METADATA
    COMMAND ${ZOL_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/dist_info.py ${PROJECT_SOURCE_DIR}/pytest-zolemul
            ${PROJECT_VERSION} ${zol_share}/python
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/dist_info.py ${PROJECT_SOURCE_DIR}/pytest-zolemul/pyproject.toml
            ${zol_plugin_sources}
    COMMENT "the pytest plugin's dist-info")
  add_custom_target(zol_pytest_plugin_metadata ALL DEPENDS ${zol_dist_info}/METADATA)
endif()

# Compressed as Debian keeps them, with no name or time in the gzip header.
set(zol_gz)
foreach(file IN LISTS zol_gzipped)
  add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nkf ${file} DEPENDS ${file})
  list(APPEND zol_gz ${file}.gz)
endforeach()
add_custom_target(zol_docs ALL DEPENDS ${zol_gz})

install(TARGETS ${ZOL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md ${zol_debian}/copyright ${zol_share}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's pages, where its links lead.
install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN *.md)
install(FILES ${zol_share}/zolemul.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# lintian's one exception for the package, with its reason inside.
install(FILES ${zol_debian}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME zolemul)
if(TARGET zolhost)
  install(FILES ${zol_share}/zolhost.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES host/capture/zolemul.lua DESTINATION ${ZOL_WIRESHARK_LUA_DIR})
  install(TARGETS zolhost_tty LIBRARY DESTINATION ${ZOLHOST_TTY_DIR})  # zolhost run's, found from zolhost
  install(DIRECTORY pytest-zolemul/pytest_zolemul ${zol_dist_info} DESTINATION ${ZOL_PYTHON_DIR}
          PATTERN __pycache__ EXCLUDE PATTERN *.pyc EXCLUDE)
endif()
