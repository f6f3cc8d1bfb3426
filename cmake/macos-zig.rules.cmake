# Read after CMake's Apple platform rules (CMAKE_USER_MAKE_RULES_OVERRIDE): those ask
# the linker for verbose output with -Wl,-v when they study the compiler, and zig's
# linker refuses that flag.
set(CMAKE_C_VERBOSE_FLAG "-v")
set(CMAKE_CXX_VERBOSE_FLAG "-v")
