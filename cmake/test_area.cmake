# Where a build keeps what its tests and scripts make at run time: the
# sandbox root (<area>/root) and the tests' temporary directories
# (<area>/tmp). The area is the build tree itself, so that two checkouts, or
# two presets of one checkout, never share a tree and deleting the build tree
# removes everything. Two things rule the build tree out:
# - length: the service's socket lies SOCKET_BELOW_ROOT below the root, and
#   the whole path with its NUL must fit sun_path (108 bytes on Linux, 104 on
#   macOS) or the service cannot bind it;
# - reach: the security tests' attacker is an unprivileged user who must walk
#   down to the socket and to the temporary directories handed to it, so
#   every directory on the way needs search permission for others (a checkout
#   under a home directory of mode 0700 or 0750 has not).
# Then the area is /tmp/ntr-<digest of the build tree's path>: still one per
# build tree, short, and removed by the suite's last test.
# Used by CMakeLists.txt and, in script mode, by cmake/test_area_test.cmake.

# Must match app_lib/service_runner/settings.cpp (macos_service_socket_path);
# tests/support/service_harness.cpp checks the built path fits as well.
set(NIMBLETRACE_SOCKET_BELOW_ROOT "/Library/Application Support/Nimbletrace/ServiceRunner/service.sock")

# The longest sandbox root whose socket path fits a sun_path of `sun_path_size` bytes.
function(nimbletrace_longest_root sun_path_size out)
  string(LENGTH "${NIMBLETRACE_SOCKET_BELOW_ROOT}" below)
  math(EXPR longest "${sun_path_size} - 1 - ${below}")
  set(${out} ${longest} PARENT_SCOPE)
endfunction()

# True in `out` when others may search `dir` and every directory above it.
function(nimbletrace_reachable_by_others dir out)
  set(at "${dir}")
  while(TRUE)
    # Prints the directory only when its mode has the others' search bit.
    execute_process(COMMAND find "${at}" -maxdepth 0 -perm -0001
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE failed)
    if(failed OR found STREQUAL "")
      set(${out} FALSE PARENT_SCOPE)
      return()
    endif()
    get_filename_component(parent "${at}" DIRECTORY)
    if(parent STREQUAL at OR parent STREQUAL "")
      break()
    endif()
    set(at "${parent}")
  endwhile()
  set(${out} TRUE PARENT_SCOPE)
endfunction()

# Sets `out_area` to the area of the build tree `build_dir` (an existing
# directory) for a sun_path of `sun_path_size` bytes, and `out_why` to why
# it is not in the build tree (empty when it is). Paths are resolved: the
# service and the tests compare them with what the kernel reports for
# running executables, which has no links in it.
function(nimbletrace_test_area build_dir sun_path_size out_area out_why)
  file(REAL_PATH "${build_dir}" build)
  nimbletrace_longest_root(${sun_path_size} longest)
  string(LENGTH "${build}/root" root_length)
  nimbletrace_reachable_by_others("${build}" reachable)
  set(why "")
  if(root_length GREATER longest)
    set(why "its path is too long for a socket path under ${build}/root (at most ${longest} bytes of root for a ${sun_path_size}-byte sun_path)")
  elseif(NOT reachable)
    set(why "other users cannot search ${build} or a directory above it, and the security tests' unprivileged attacker must")
  endif()
  if(why STREQUAL "")
    set(${out_area} "${build}" PARENT_SCOPE)
  else()
    file(REAL_PATH "/tmp" tmp)
    string(SHA256 digest "${build}")
    string(SUBSTRING "${digest}" 0 12 digest)
    set(${out_area} "${tmp}/ntr-${digest}" PARENT_SCOPE)
  endif()
  set(${out_why} "${why}" PARENT_SCOPE)
endfunction()
