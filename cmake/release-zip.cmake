# release-zip.cmake: the Windows release, one zip holding tessival.auf and tessival.txt
#   cmake -DMODULE=... -DTEXT=... -DFOLDER=... -DZIP=... -P release-zip.cmake
# The text gets Windows line ends, so that every editor on the users' side shows its lines. The
# folder is made afresh, so the zip never picks up anything left in it.
file(REMOVE_RECURSE "${FOLDER}")
file(MAKE_DIRECTORY "${FOLDER}")
configure_file("${MODULE}" "${FOLDER}/tessival.auf" COPYONLY)
file(READ "${TEXT}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${FOLDER}/tessival.txt" "${text}")
file(REMOVE "${ZIP}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${ZIP}" --format=zip tessival.auf tessival.txt
  WORKING_DIRECTORY "${FOLDER}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "release-zip: could not write ${ZIP}")
endif()
