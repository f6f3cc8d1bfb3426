# Cross-compiling for macOS from Linux with Zig's clang (`zig cc`, `zig c++`), which
# carries the macOS SDK's headers and libSystem stubs, links its own libc++ statically
# and signs arm64 executables ad hoc.  scripts/build-macos drives it; by hand:
#
#   cmake -S . -B build/macos/arm64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/macos-zig.toolchain.cmake \
#     -DIMAGE_INSTALLER_ZIG=/path/to/zig -DIMAGE_INSTALLER_MACOS_ARCH=arm64
#
# IMAGE_INSTALLER_MACOS_ARCH is arm64 or x86_64 (one per build folder: zig builds one
# architecture at a time; llvm-lipo joins them), IMAGE_INSTALLER_MACOS_MIN the oldest
# macOS the executable runs on (default 11.0).

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  IMAGE_INSTALLER_ZIG IMAGE_INSTALLER_MACOS_ARCH IMAGE_INSTALLER_MACOS_MIN)

if(NOT IMAGE_INSTALLER_ZIG)
  message(FATAL_ERROR "Set IMAGE_INSTALLER_ZIG to the zig executable (scripts/bootstrap --macos installs one)")
endif()
if(NOT IMAGE_INSTALLER_MACOS_MIN)
  set(IMAGE_INSTALLER_MACOS_MIN 11.0)
endif()
if(IMAGE_INSTALLER_MACOS_ARCH STREQUAL "arm64")
  set(zig_arch aarch64)
elseif(IMAGE_INSTALLER_MACOS_ARCH STREQUAL "x86_64")
  set(zig_arch x86_64)
else()
  message(FATAL_ERROR "IMAGE_INSTALLER_MACOS_ARCH must be arm64 or x86_64, not '${IMAGE_INSTALLER_MACOS_ARCH}'")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${IMAGE_INSTALLER_MACOS_ARCH})
# Darwin 20 is macOS 11.
string(REGEX REPLACE "^([0-9]+).*" "\\1" macos_major "${IMAGE_INSTALLER_MACOS_MIN}")
math(EXPR CMAKE_SYSTEM_VERSION "${macos_major} + 9")

# The target goes with the compiler itself, so that every compile and link, CMake's own
# checks included, is for that architecture and minimum macOS.
set(zig_target ${zig_arch}-macos.${IMAGE_INSTALLER_MACOS_MIN}-none)
set(CMAKE_C_COMPILER ${IMAGE_INSTALLER_ZIG} cc -target ${zig_target})
set(CMAKE_CXX_COMPILER ${IMAGE_INSTALLER_ZIG} c++ -target ${zig_target})

set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/macos-zig.rules.cmake)

# Archive tools from Debian's LLVM, which writes the Darwin archive format for Mach-O
# members.
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14 REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool llvm-install-name-tool-14 REQUIRED)

# No SDK folder: zig brings its own headers and stubs.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
