# deb-tidy.cmake: CPack runs this on the staging tree of the Debian package, after the install
# rules and before the archive is made. It turns the upstream layout into Debian's:
#   share/doc/tessival/LICENSE     ->  share/doc/tessival/copyright (machine-readable format)
#   (new)                          ->  share/doc/tessival/changelog.gz
#   share/man/man1/tessival.1      ->  share/man/man1/tessival.1.gz
# gzip -9n: maximum compression and no time stamp in the header, as Debian wants.
# It also puts back the install manifest that deb-manifest.cmake set aside.
set(manifest "${CPACK_TESSIVAL_BINARY_DIR}/install_manifest.txt")
if(EXISTS "${manifest}.kept")
  file(RENAME "${manifest}.kept" "${manifest}")
else()
  file(REMOVE "${manifest}")
endif()

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/tessival")
if(NOT EXISTS "${doc}/LICENSE" OR NOT EXISTS "${root}/share/man/man1/tessival.1")
  message(FATAL_ERROR "deb-tidy: no LICENSE or manual page under ${root}")
endif()

# The license text as a stand-alone paragraph: every line indented, empty lines as " .". The
# title line and the copyright notice become fields of their own.
file(READ "${doc}/LICENSE" text)
if(NOT text MATCHES "^MIT License\n+Copyright \\(c\\) ([^\n]+)\n+(.*[^\n])\n*$")
  message(FATAL_ERROR "deb-tidy: LICENSE is not the MIT license text this script expects")
endif()
set(holder "${CMAKE_MATCH_1}")
string(REPLACE "\n" "\n " license " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" license "${license}")
file(WRITE "${doc}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: tessival\n"
  "\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: Expat\n"
  "${license}\n")
file(REMOVE "${doc}/LICENSE")

# A native package's changelog, one entry for the version being packaged, dated from the last
# commit when the sources are a git checkout.
set(date "")
find_program(git git)
if(git)
  execute_process(COMMAND ${git} -C "${CPACK_TESSIVAL_SOURCE_DIR}" log -1 --format=%aD
    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(date STREQUAL "")
  execute_process(COMMAND date -R OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
file(WRITE "${doc}/changelog"
  "tessival (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n"
  "\n"
  "  * Release ${CPACK_PACKAGE_VERSION}.\n"
  "\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")

foreach(f "${doc}/changelog" "${root}/share/man/man1/tessival.1")
  execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "deb-tidy: gzip ${f} failed")
  endif()
endforeach()

# Dependencies from the binaries: dpkg-shlibdeps reads their NEEDED entries and the shlibs
# files of the installed libraries. It wants to run in a source package, so it gets a minimal one.
set(work "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/../shlibdeps")
file(REMOVE_RECURSE "${work}")
file(WRITE "${work}/debian/control" "Source: tessival\n")
file(GLOB_RECURSE binaries "${root}/bin/*" "${root}/lib/*.so")
execute_process(COMMAND dpkg-shlibdeps -O ${binaries} WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE depends ERROR_VARIABLE warnings RESULT_VARIABLE status
  OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REMOVE_RECURSE "${work}")
if(NOT status EQUAL 0 OR NOT depends MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "deb-tidy: dpkg-shlibdeps failed (apt-get install dpkg-dev): ${warnings}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
