# cmake --build build --target package makes a Debian package of the two
# programs (CPack): build/quorvel_VERSION_ARCH.deb. What it holds is the
# component "deb", left out of a plain cmake --install, because Debian
# wants the manual pages and the changelog gzipped, the licence in a
# machine-readable copyright file and no second copy of it.
set(debdir ${CMAKE_CURRENT_BINARY_DIR}/deb)
file(MAKE_DIRECTORY ${debdir})

# Debian's changelog is the project's CHANGELOG.md in Debian's layout, so
# that the release notes stay written once: each "## VERSION - DATE" or
# "## VERSION (unreleased)" opens an entry, a "- " item becomes "* ", and
# every other line is indented under it.
set(QUORVEL_MAINTAINER "The quorvel authors <quorvel@example.org>"
    CACHE STRING "Maintainer of the Debian package, as Name <address>")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md
             ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE
             ${CMAKE_CURRENT_SOURCE_DIR}/cmake/copyright.in)

# Sets out to DATE (YYYY-MM-DD) in the form of a Debian changelog trailer;
# an unreleased entry takes the time of configuring, or SOURCE_DATE_EPOCH.
function(debiandate date out)
  set(given "$ENV{SOURCE_DATE_EPOCH}")
  if(date MATCHES "^([0-9]+)-([0-9]+)-([0-9]+)$")
    # Days since 1970-01-01 in the proleptic Gregorian calendar, counted
    # from March so that the leap day ends the year.
    set(y ${CMAKE_MATCH_1})
    math(EXPR m "${CMAKE_MATCH_2}")
    set(d ${CMAKE_MATCH_3})
    if(m LESS_EQUAL 2)
      math(EXPR y "${y} - 1")
      math(EXPR m "${m} + 9")
    else()
      math(EXPR m "${m} - 3")
    endif()
    math(EXPR days "${y} * 365 + ${y} / 4 - ${y} / 100 + ${y} / 400 + \
(153 * ${m} + 2) / 5 + ${d} - 1 - 719468")
    # string(TIMESTAMP) formats this time in place of the present one.
    math(EXPR epoch "${days} * 86400")
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
  string(TIMESTAMP stamp "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(${out} "${stamp}" PARENT_SCOPE)
  if(given STREQUAL "")
    unset(ENV{SOURCE_DATE_EPOCH})
  else()
    set(ENV{SOURCE_DATE_EPOCH} "${given}")
  endif()
endfunction()

file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md mdlines)
set(debchangelog "")
set(entry "")
set(trailer "")
foreach(line IN LISTS mdlines)
  if(line MATCHES "^## ([0-9.]+)( - ([0-9-]+)| \\(unreleased\\))")
    if(NOT trailer AND NOT CMAKE_MATCH_1 VERSION_EQUAL PROJECT_VERSION)
      message(WARNING "CHANGELOG.md's newest entry is ${CMAKE_MATCH_1}, not "
              "${PROJECT_VERSION}: the package's changelog will be wrong.")
    endif()
    if(trailer)
      string(APPEND debchangelog "${entry}\n${trailer}\n\n")
    endif()
    debiandate("${CMAKE_MATCH_3}" stamp)
    set(entry "${PROJECT_NAME} (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    set(trailer " -- ${QUORVEL_MAINTAINER}  ${stamp}")
  elseif(NOT trailer OR (line STREQUAL "" AND entry MATCHES "\n\n$"))
    continue()
  elseif(line STREQUAL "")
    string(APPEND entry "\n")
  elseif(line MATCHES "^- (.*)")
    string(APPEND entry "  * ${CMAKE_MATCH_1}\n")
  else()
    string(APPEND entry "  ${line}\n")
  endif()
endforeach()
string(REGEX REPLACE "\n+$" "\n" entry "${entry}")
string(APPEND debchangelog "${entry}\n${trailer}\n")
file(WRITE ${debdir}/changelog "${debchangelog}")

# The copyright file carries LICENSE's text from its first paragraph on,
# in the indented form of a license field.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" licence "${licence}")
string(REGEX REPLACE "\n+$" "" licence "${licence}")
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " QUORVEL_LICENCE " ${licence}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/copyright.in
               ${debdir}/copyright @ONLY)

find_program(GZIP gzip REQUIRED)
set(gzipped "")
foreach(source man/quorvel.1 man/textcopy.1 ${debdir}/changelog)
  get_filename_component(name ${source} NAME)
  get_filename_component(source ${source} ABSOLUTE)
  # -n keeps the time out of the file, so that a rebuild is the same bytes.
  add_custom_command(OUTPUT ${debdir}/${name}.gz
                     COMMAND ${GZIP} -9nc ${source} > ${debdir}/${name}.gz
                     DEPENDS ${source} VERBATIM)
  list(APPEND gzipped ${debdir}/${name}.gz)
endforeach()
add_custom_target(debfiles ALL DEPENDS ${gzipped})

install(TARGETS quorvel textcopy RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${debdir}/quorvel.1.gz ${debdir}/textcopy.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${debdir}/copyright ${debdir}/changelog.gz README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL deb)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVEL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "smooth measurements in a tab-separated table along their positions")
set(CPACK_PACKAGE_DESCRIPTION "\
quorvel reads a tab-separated table, such as array CGH log ratios along a
chromosome, and for every data column inserts a smoothed value per row, a
weighted mean over a window of neighbouring positions in one of five
window shapes, and on request its propagated error. textcopy copies its
input with the same text-stream translation, writing CR LF line ends.")
include(CPack)
