# cmake -DSCRATCH=<dir> -P test_area_test.cmake: checks where
# nimbletrace_test_area puts a build's run-time files. SCRATCH must lie where
# others may search (the build's own test area does), and is removed after.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/test_area.cmake)

set(failures 0)
macro(fail what)
  message(SEND_ERROR "${what}")
  math(EXPR failures "${failures} + 1")
endmacro()

function(make_dir dir mode)
  file(MAKE_DIRECTORY "${dir}")
  if(mode STREQUAL "open")
    file(CHMOD "${dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD "${dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  endif()
endfunction()

file(REMOVE_RECURSE "${SCRATCH}")
get_filename_component(scratch_parent "${SCRATCH}" DIRECTORY)
make_dir("${scratch_parent}" open)
make_dir("${SCRATCH}" open)
file(REAL_PATH "${SCRATCH}" scratch)
make_dir("${scratch}/open" open)
make_dir("${scratch}/shut" shut)
make_dir("${scratch}/shut/inner" open)
make_dir("${scratch}/other" shut)
file(CREATE_LINK "${scratch}/open" "${scratch}/link" SYMBOLIC)

# The smallest sun_path that fits the socket under <scratch>/open/root.
string(LENGTH "${scratch}/open/root${NIMBLETRACE_SOCKET_BELOW_ROOT}" socket_length)
math(EXPR fits "${socket_length} + 1")
math(EXPR one_short "${fits} - 1")

file(REAL_PATH "/tmp" tmp)
# dir | sun_path size | expected: "tree" (the directory itself) or "tmp" | why contains
set(rows
  "open|${fits}|tree|"
  "open|${one_short}|tmp|too long"
  "link|${fits}|tree|"
  "shut|4096|tmp|cannot search"
  "shut/inner|4096|tmp|cannot search"
)
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 dir)
  list(GET fields 1 size)
  list(GET fields 2 expected)
  list(LENGTH fields field_count)
  set(reason "")
  if(field_count GREATER 3)
    list(GET fields 3 reason)
  endif()
  nimbletrace_test_area("${scratch}/${dir}" ${size} area why)
  if(expected STREQUAL "tree")
    file(REAL_PATH "${scratch}/${dir}" resolved)
    if(NOT area STREQUAL resolved OR NOT why STREQUAL "")
      fail("${dir} with sun_path ${size}: area ${area} (${why}), expected ${resolved}")
    endif()
  else()
    if(NOT area MATCHES "^${tmp}/ntr-[0-9a-f]+$")
      fail("${dir} with sun_path ${size}: area ${area}, expected one under ${tmp}")
    endif()
    string(FIND "${why}" "${reason}" at)
    if(at EQUAL -1)
      fail("${dir} with sun_path ${size}: the reason '${why}' does not say '${reason}'")
    endif()
    # The fallback itself must leave room for the socket on macOS.
    string(LENGTH "${area}/root${NIMBLETRACE_SOCKET_BELOW_ROOT}" fallback_length)
    if(NOT fallback_length LESS 104)
      fail("${area}: its socket path is ${fallback_length} bytes")
    endif()
  endif()
endforeach()

# One area per build tree: the same tree always gets the same one, two trees
# never share one.
nimbletrace_test_area("${scratch}/shut" 4096 first why)
nimbletrace_test_area("${scratch}/shut" 4096 again why)
nimbletrace_test_area("${scratch}/other" 4096 other why)
if(NOT first STREQUAL again)
  fail("the same tree got ${first}, then ${again}")
endif()
if(first STREQUAL other)
  fail("two trees share ${first}")
endif()

file(REMOVE_RECURSE "${SCRATCH}")
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} failed")
endif()
