# Run by CPack on its staging tree before packing. Man pages are shipped
# compressed, as Debian's man-db expects (-n keeps the name and time out of
# the header, so the package is the same from build to build). Each .deb gets
# the files Debian asks of every package in its doc directory: a
# machine-readable copyright and, as a native package, changelog.gz, made from
# the versions and dates in CHANGELOG.md.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.[0-9]")
list(FILTER pages INCLUDE REGEX "/share/man/man[0-9]/[^/]+$")
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page}: ${status}")
  endif()
endforeach()

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# One entry per release heading "## <version> - <YYYY-MM-DD>", newest first.
file(STRINGS "${CPACK_PLUGSUP_SOURCE_DIR}/CHANGELOG.md" headings REGEX "^## [^ ]+ - [0-9-]+")
set(changelog "")
foreach(heading ${headings})
  string(REGEX REPLACE "^## ([^ ]+) - ([0-9-]+).*" "\\1;\\2" entry "${heading}")
  list(GET entry 0 version)
  list(GET entry 1 day)
  execute_process(COMMAND date -u -R -d "${day} 00:00:00" OUTPUT_VARIABLE stamp
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "CHANGELOG.md: no date in \"${heading}\"")
  endif()
  string(APPEND changelog "<package> (${version}) unstable; urgency=medium\n\n"
         "  * Release ${version}: see CHANGELOG.md in the source or in\n"
         "    /usr/share/doc/plugsup/.\n\n"
         " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${stamp}\n\n")
endforeach()
if(NOT changelog MATCHES "\\(${CPACK_PACKAGE_VERSION}\\)")
  message(FATAL_ERROR "CHANGELOG.md has no entry \"## ${CPACK_PACKAGE_VERSION} - <date>\"")
endif()

foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")
  set(doc "${doc}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY_FILE "${CPACK_PLUGSUP_SOURCE_DIR}/packaging/debian/copyright" "${doc}/copyright")
  string(REPLACE "<package>" "${package}" text "${changelog}")
  string(STRIP "${text}" text)
  file(WRITE "${doc}/changelog" "${text}\n")
  execute_process(COMMAND gzip -9nf "${doc}/changelog" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${doc}/changelog: ${status}")
  endif()
endforeach()
