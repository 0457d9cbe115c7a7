# cmake -DAREA=<dir> -P make_test_area.cmake: makes the area and its tmp
# directory with mode 0755 whatever the umask.
cmake_minimum_required(VERSION 3.25)
foreach(dir "${AREA}" "${AREA}/tmp")
  file(MAKE_DIRECTORY "${dir}")
  file(CHMOD "${dir}" DIRECTORY_PERMISSIONS
       OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
