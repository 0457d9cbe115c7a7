# Cross build for macOS on a Linux host with Zig's clang 16, libc++ 16, its
# macOS 11-13 SDK headers and libSystem link stubs (`scripts/bootstrap
# --macos` installs them). What the build makes is compiled and linked, never
# run here.
#
#   NIMBLETRACE_MACOS_TARGET  Zig target with a three-part version, e.g.
#                             aarch64-macos.11.0 or x86_64-macos.11.0
#   NIMBLETRACE_ZIG           the zig executable (default: bootstrap's cache)
set(CMAKE_SYSTEM_NAME Darwin)

if(NOT NIMBLETRACE_MACOS_TARGET)
  set(NIMBLETRACE_MACOS_TARGET "aarch64-macos.11.0")
endif()
if(NOT NIMBLETRACE_ZIG)
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(NIMBLETRACE_ZIG "$ENV{XDG_CACHE_HOME}/nimbletrace/zig-0.11.0/zig")
  else()
    set(NIMBLETRACE_ZIG "$ENV{HOME}/.cache/nimbletrace/zig-0.11.0/zig")
  endif()
endif()
if(NOT EXISTS "${NIMBLETRACE_ZIG}")
  message(FATAL_ERROR "No Zig at ${NIMBLETRACE_ZIG}: run scripts/bootstrap --macos")
endif()
# try_compile projects read this file again; they must target the same.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBLETRACE_MACOS_TARGET NIMBLETRACE_ZIG)

string(REGEX MATCH "^[^-]+" _nimbletrace_arch "${NIMBLETRACE_MACOS_TARGET}")
if(_nimbletrace_arch STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR "${_nimbletrace_arch}")
endif()

# Zig chooses the SDK headers and the deployment target from -target; no
# Xcode sysroot or -mmacosx-version-min may be added on top.
set(CMAKE_CXX_COMPILER "${NIMBLETRACE_ZIG}" c++ -target "${NIMBLETRACE_MACOS_TARGET}")
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/macos-cross-rules.cmake")
# GoogleTest's project enables C as well.
set(CMAKE_C_COMPILER "${NIMBLETRACE_ZIG}" cc -target "${NIMBLETRACE_MACOS_TARGET}")
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
# The host's GNU ar would write a symbol table Zig's Mach-O linker may not
# read; Zig's own archiver writes the Darwin kind.
set(CMAKE_CXX_ARCHIVE_CREATE "\"${NIMBLETRACE_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "\"${NIMBLETRACE_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "\"${NIMBLETRACE_ZIG}\" ranlib <TARGET>")
foreach(_nimbletrace_rule CREATE APPEND FINISH)
  set(CMAKE_C_ARCHIVE_${_nimbletrace_rule} "${CMAKE_CXX_ARCHIVE_${_nimbletrace_rule}}")
endforeach()
# CMake insists on install_name_tool for Apple targets, but only an install
# of a shared library runs it, and nothing of this build is installed.
find_program(CMAKE_INSTALL_NAME_TOOL NAMES true)

# The headers Zig lacks (bsm/libbsm.h) and the link stub of libbsm. The
# directory is searched after the SDK's own, so a header the SDK does have
# always wins.
set(NIMBLETRACE_MACOS_SDK_EXTRAS "${CMAKE_CURRENT_LIST_DIR}/macos-sdk-extras")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${NIMBLETRACE_MACOS_SDK_EXTRAS}/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${NIMBLETRACE_MACOS_SDK_EXTRAS}/lib")

# Nothing of the host may be found: no /usr/include, no host library, no
# host package configuration. Programs (the host's tools) still are.
set(CMAKE_FIND_ROOT_PATH "${NIMBLETRACE_MACOS_SDK_EXTRAS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(NIMBLETRACE_MACOS_CROSS ON)
