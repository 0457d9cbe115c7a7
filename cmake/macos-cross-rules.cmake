# Read after CMake's Apple platform rules (CMAKE_USER_MAKE_RULES_OVERRIDE in
# macos-cross.cmake). Zig's linker knows no -v, so the probe of the compiler's
# ABI (pointer size, implicit directories) asks only the compiler driver to
# talk.
set(CMAKE_C_VERBOSE_FLAG "-v")
set(CMAKE_CXX_VERBOSE_FLAG "-v")
