# deb-manifest.cmake: CPack runs this before its staging install for the Debian package.
# That install rewrites build/install_manifest.txt with the package's /usr paths, and the
# manifest is how a user undoes their own `cmake --install` (xargs rm < install_manifest.txt):
# it is set aside here and put back by deb-tidy.cmake, so a package build never turns the
# uninstall into one of /usr.
set(manifest "${CPACK_TESSIVAL_BINARY_DIR}/install_manifest.txt")
set(kept "${CPACK_TESSIVAL_BINARY_DIR}/install_manifest.txt.kept")
file(REMOVE "${kept}")
if(EXISTS "${manifest}")
  file(RENAME "${manifest}" "${kept}")
endif()
