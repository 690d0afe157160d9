# package-deb.cmake: the Debian package, built from the install rules by CPack
#   cmake --build build && (cd build && cpack -G DEB)    ->  build/tessival_1.0.0_amd64.deb
# Everything goes under /usr; binaries are stripped. deb-tidy.cmake then puts the Debian files in
# place in the staging tree (copyright, changelog, compressed manual page) and has dpkg-shlibdeps
# compute the dependencies from the binaries (libc, libstdc++, libgcc, libpng). CPack's own
# dependency step stays off: it takes the module in lib/tessival/ for a library of the linker's
# path and adds maintainer scripts that run ldconfig, which a plug-in folder does not need.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessival)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-manifest.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-tidy.cmake)
# Read by those two scripts.
set(CPACK_TESSIVAL_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_TESSIVAL_BINARY_DIR ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Tessival developers <tessival@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS ffmpeg)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fast non-local-means video denoiser")
# The extended description; CPack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tessival removes noise from the luma of YUV4MPEG2 streams, frame by frame,
and of PNG, PGM and PPM images. Every pixel becomes a weighted average of
the pixels in a search window around it, weighted by how closely their 3x3
neighbourhoods match; chroma and alpha pass through bit-exact. It reads and
writes y4m on pipes, for use between two ffmpeg processes.
.
The filter runs with 8-lane AVX float arithmetic on all cores; it needs a
processor with AVX.")

include(CPack)
