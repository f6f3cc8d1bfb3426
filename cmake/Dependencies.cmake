# Where libplist, utf8proc and GoogleTest come from.  Each becomes one target the rest
# of the build links: image-installer::plist, image-installer::utf8proc and
# image-installer::gtest_main.
#
#   default                          the system's libraries, found with pkg-config
#                                    (GoogleTest with CMake's FindGTest)
#   IMAGE_INSTALLER_STATIC_DEPENDENCIES=ON
#                                    the same packages' static archives (lib*.a), so
#                                    that the executable needs neither library at run
#                                    time (Homebrew on a Mac keeps them)
#   IMAGE_INSTALLER_LIBPLIST_SOURCE=DIR, IMAGE_INSTALLER_UTF8PROC_SOURCE=DIR,
#   IMAGE_INSTALLER_GTEST_SOURCE=DIR built here, statically, from unpacked source trees
#                                    (libplist 2.2, utf8proc 2.8, googletest); the
#                                    cross build for macOS uses these
#
# Included before the project's warning options: code built here from others'
# sources is not held to them.

option(IMAGE_INSTALLER_STATIC_DEPENDENCIES "Link the static archives of libplist and utf8proc found by pkg-config" OFF)
set(IMAGE_INSTALLER_LIBPLIST_SOURCE "" CACHE PATH "Build libplist 2.2 from this source tree")
set(IMAGE_INSTALLER_UTF8PROC_SOURCE "" CACHE PATH "Build utf8proc 2.8 from this source tree")
set(IMAGE_INSTALLER_GTEST_SOURCE "" CACHE PATH "Build GoogleTest from this source tree (e.g. /usr/src/googletest)")

if(NOT IMAGE_INSTALLER_LIBPLIST_SOURCE OR NOT IMAGE_INSTALLER_UTF8PROC_SOURCE)
  find_package(PkgConfig REQUIRED)
endif()

# A pkg-config package as an interface target: shared by default, or its static
# archives.  Libraries without an archive of their own (the C library's m or pthread)
# are linked as pkg-config names them.
function(image_installer_pkg_config_target target module)
  pkg_check_modules(${target} REQUIRED ${module})
  add_library(image-installer-${target} INTERFACE)
  if(NOT IMAGE_INSTALLER_STATIC_DEPENDENCIES)
    target_include_directories(image-installer-${target} INTERFACE ${${target}_INCLUDE_DIRS})
    target_compile_options(image-installer-${target} INTERFACE ${${target}_CFLAGS_OTHER})
    target_link_directories(image-installer-${target} INTERFACE ${${target}_LIBRARY_DIRS})
    target_link_libraries(image-installer-${target} INTERFACE ${${target}_LINK_LIBRARIES})
    return()
  endif()
  set(libraries)
  foreach(library IN LISTS ${target}_STATIC_LIBRARIES)
    find_library(archive NAMES lib${library}.a HINTS ${${target}_STATIC_LIBRARY_DIRS} NO_CACHE)
    if(archive)
      list(APPEND libraries ${archive})
    elseif(library MATCHES "plist|utf8proc")
      message(FATAL_ERROR "IMAGE_INSTALLER_STATIC_DEPENDENCIES: no lib${library}.a in ${${target}_STATIC_LIBRARY_DIRS}")
    else()
      list(APPEND libraries ${library})
    endif()
  endforeach()
  target_include_directories(image-installer-${target} INTERFACE ${${target}_STATIC_INCLUDE_DIRS})
  target_compile_options(image-installer-${target} INTERFACE ${${target}_STATIC_CFLAGS_OTHER})
  target_link_libraries(image-installer-${target} INTERFACE ${libraries})
endfunction()

# The version a source tree declares in `file` with `pattern` (one group).
function(image_installer_source_version variable file pattern)
  file(STRINGS ${file} line REGEX "${pattern}" LIMIT_COUNT 1)
  string(REGEX REPLACE ".*${pattern}.*" "\\1" version "${line}")
  set(${variable} "${version}" PARENT_SCOPE)
endfunction()

# libplist from source: its C library and the tree library inside it, as its own
# build (automake) lists them, with the config.h its configure would write.
if(IMAGE_INSTALLER_LIBPLIST_SOURCE)
  enable_language(C)
  set(dir ${IMAGE_INSTALLER_LIBPLIST_SOURCE})
  image_installer_source_version(version ${dir}/configure.ac "AC_INIT\\(\\[libplist\\], \\[([0-9.]+)\\]")
  if(NOT version MATCHES "^2\\.2\\.")
    message(FATAL_ERROR "${dir} holds libplist '${version}', not 2.2")
  endif()
  include(CheckSymbolExists)
  include(CheckStructHasMember)
  set(config "")
  foreach(function asprintf strcasecmp strdup strerror strndup stpcpy vasprintf gmtime_r localtime_r timegm strptime memmem)
    string(TOUPPER "HAVE_${function}" have)
    check_symbol_exists(${function} "stdio.h;stdlib.h;string.h;strings.h;time.h" ${have})
    if(${have})
      string(APPEND config "#define ${have} 1\n")
    endif()
  endforeach()
  check_struct_has_member("struct tm" tm_gmtoff time.h HAVE_TM_TM_GMTOFF LANGUAGE C)
  check_struct_has_member("struct tm" tm_zone time.h HAVE_TM_TM_ZONE LANGUAGE C)
  foreach(have HAVE_TM_TM_GMTOFF HAVE_TM_TM_ZONE)
    if(${have})
      string(APPEND config "#define ${have} 1\n")
    endif()
  endforeach()
  if(CMAKE_C_BYTE_ORDER STREQUAL "BIG_ENDIAN")
    string(APPEND config "#ifndef __BIG_ENDIAN__\n#define __BIG_ENDIAN__ 1\n#endif\n")
  else()
    string(APPEND config "#ifndef __LITTLE_ENDIAN__\n#define __LITTLE_ENDIAN__ 1\n#endif\n")
  endif()
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/libplist/config.h CONTENT "${config}")

  add_library(image-installer-plist STATIC
    ${dir}/libcnary/node.c ${dir}/libcnary/node_list.c
    ${dir}/src/base64.c ${dir}/src/bytearray.c ${dir}/src/hashtable.c ${dir}/src/ptrarray.c
    ${dir}/src/time64.c ${dir}/src/xplist.c ${dir}/src/bplist.c ${dir}/src/plist.c)
  target_compile_definitions(image-installer-plist PRIVATE HAVE_CONFIG_H)
  target_include_directories(image-installer-plist
    PRIVATE ${CMAKE_BINARY_DIR}/libplist ${dir} ${dir}/src ${dir}/libcnary/include
    PUBLIC ${dir}/include)
  target_compile_options(image-installer-plist PRIVATE -w)
else()
  image_installer_pkg_config_target(plist libplist-2.0)
endif()
add_library(image-installer::plist ALIAS image-installer-plist)

# utf8proc from source: one C file.
if(IMAGE_INSTALLER_UTF8PROC_SOURCE)
  enable_language(C)
  set(dir ${IMAGE_INSTALLER_UTF8PROC_SOURCE})
  image_installer_source_version(major ${dir}/utf8proc.h "#define UTF8PROC_VERSION_MAJOR ([0-9]+)")
  image_installer_source_version(minor ${dir}/utf8proc.h "#define UTF8PROC_VERSION_MINOR ([0-9]+)")
  if(NOT "${major}.${minor}" STREQUAL "2.8")
    message(FATAL_ERROR "${dir} holds utf8proc '${major}.${minor}', not 2.8")
  endif()
  add_library(image-installer-utf8proc STATIC ${dir}/utf8proc.c)
  target_compile_definitions(image-installer-utf8proc PUBLIC UTF8PROC_STATIC)
  target_include_directories(image-installer-utf8proc PUBLIC ${dir})
  target_compile_options(image-installer-utf8proc PRIVATE -w)
else()
  image_installer_pkg_config_target(utf8proc libutf8proc)
endif()
add_library(image-installer::utf8proc ALIAS image-installer-utf8proc)

if(IMAGE_INSTALLER_TESTS)
  add_library(image-installer-gtest INTERFACE)
  if(IMAGE_INSTALLER_GTEST_SOURCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${IMAGE_INSTALLER_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
  target_link_libraries(image-installer-gtest INTERFACE GTest::gtest GTest::gtest_main)
  add_library(image-installer::gtest_main ALIAS image-installer-gtest)
endif()
