# The two packages the macOS cross build takes from the host, without letting
# the host's /usr/include onto a macOS compile line.

# nlohmann-json is header-only: give the build a folder that holds nothing but
# a link to the library's own directory. Debian's imported target would add
# /usr/include itself, and with it glibc's and libstdc++'s headers.
find_path(NIMBLETRACE_HOST_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp
  PATHS /usr/include /usr/local/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT NIMBLETRACE_HOST_NLOHMANN_JSON_INCLUDE)
  message(FATAL_ERROR "nlohmann/json.hpp not found on the host: run scripts/bootstrap --macos")
endif()
set(_nimbletrace_json_dir "${CMAKE_BINARY_DIR}/macos-cross-include")
file(MAKE_DIRECTORY "${_nimbletrace_json_dir}")
file(CREATE_LINK "${NIMBLETRACE_HOST_NLOHMANN_JSON_INCLUDE}/nlohmann"
     "${_nimbletrace_json_dir}/nlohmann" SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_nimbletrace_json_dir}")

# GoogleTest from Debian's sources, compiled by the same cross compiler. It is
# added before the project's own warning flags, which are not its business.
if(NIMBLETRACE_BUILD_TESTS)
  set(NIMBLETRACE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS "${NIMBLETRACE_GOOGLETEST_SOURCE}/CMakeLists.txt")
    message(FATAL_ERROR "No GoogleTest sources at ${NIMBLETRACE_GOOGLETEST_SOURCE}: run scripts/bootstrap --macos")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory("${NIMBLETRACE_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endif()
