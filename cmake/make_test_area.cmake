# cmake -DAREA=<dir> -P make_test_area.cmake: makes the area outside the
# build tree and its tmp directory, mode 0755 whatever the umask.
# The area's name under /tmp is predictable, and the suite runs as root: a
# local user could plant a directory or a link there first and so see, or
# steer, what the tests write. So whatever stands at the name is removed
# (rm does not follow links), and the area is made afresh by a mkdir that
# fails if anything appears at the name in between.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND rm -rf "${AREA}" RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND mkdir -m 0755 "${AREA}" "${AREA}/tmp" RESULT_VARIABLE failed)
endif()
if(failed)
  message(FATAL_ERROR "cannot make the test area ${AREA} afresh")
endif()
