# What a release holds: the program, the user guides and the licence, packed
# by CPack as a zip (Windows) or a .tar.gz (Linux). The same version number
# names the archive and, on Windows, fills the program's file properties.

# Builds of the same commit give the same bytes: no build paths, and no link
# time in the Windows program's header.
target_compile_options(tarnwick_build_settings INTERFACE
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
  -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
if(WIN32)
  # Linked without symbols and debug sections, which in this build hold only
  # the MinGW runtime's. The linker strips them, not strip, which would stamp
  # the time into the header.
  target_link_options(tarnwick PRIVATE -Wl,--no-insert-timestamp -s)
  enable_language(RC)
  configure_file(src/driver/tarnwick.manifest.in ${PROJECT_BINARY_DIR}/tarnwick.manifest @ONLY)
  configure_file(src/driver/tarnwick.rc.in ${PROJECT_BINARY_DIR}/tarnwick.rc @ONLY)
  # The icon is drawn by scripts/make-icon.sh and committed; copying it next
  # to the .rc reconfigures and rebuilds the resources when it changes.
  configure_file(src/driver/tarnwick.ico ${PROJECT_BINARY_DIR}/tarnwick.ico COPYONLY)
  target_sources(tarnwick PRIVATE ${PROJECT_BINARY_DIR}/tarnwick.rc)
  set_property(SOURCE ${PROJECT_BINARY_DIR}/tarnwick.rc APPEND PROPERTY
    OBJECT_DEPENDS ${PROJECT_BINARY_DIR}/tarnwick.manifest ${PROJECT_BINARY_DIR}/tarnwick.ico)
endif()

# The Linux archive's program is linked statically: it needs no shared
# library, so it starts on any x86_64 Linux (kernel 3.2 or later), whatever C
# and C++ libraries the system has, even in a root that holds nothing else.
# It links glibc, as the build does (Debian has no C++ library for musl); the
# program calls nothing of glibc that loads shared libraries at run time
# (user, group and host look-ups, iconv, dlopen), so the link warns of none.
# The tests run the ordinary program, build/linux/tarnwick. The release build
# (the linux preset) turns it on; a plain build from source leaves it out, and
# so does any build whose flags cannot link a static program (a sanitizer's
# runtime is a shared library). Without it the archive packs the ordinary one.
option(TARNWICK_PORTABLE "Also build the static program that the Linux archive packs" OFF)
set(released_program tarnwick)
if(TARNWICK_PORTABLE AND NOT WIN32)
  include(CheckCXXSourceCompiles)
  # Asked again at every configure: the flags may have changed since.
  unset(TARNWICK_STATIC_PROGRAM_LINKS CACHE)
  set(CMAKE_REQUIRED_LINK_OPTIONS -static)
  check_cxx_source_compiles("#include <string>\nint main(int c, char**) { return static_cast<int>(std::to_string(c).size()); }"
    TARNWICK_STATIC_PROGRAM_LINKS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(TARNWICK_SANITIZERS OR TARNWICK_BUILD_FUZZERS OR NOT TARNWICK_STATIC_PROGRAM_LINKS)
    message(WARNING "TARNWICK_PORTABLE: no static program links with these flags; "
      "the Linux archive packs the ordinary program instead.")
  else()
    add_executable(tarnwick_portable src/driver/main.cc)
    target_link_libraries(tarnwick_portable PRIVATE tarnwick_driver)
    target_link_options(tarnwick_portable PRIVATE -static)
    set_target_properties(tarnwick_portable PROPERTIES
      OUTPUT_NAME tarnwick RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/portable)
    set(released_program tarnwick_portable)
  endif()
endif()
install(TARGETS ${released_program} RUNTIME DESTINATION .)
install(FILES LICENSE CHANGELOG.md docs/user-guide.md docs/user-guide.zh-CN.md docs/tarnwick-run.png
  DESTINATION .)

set(CPACK_PACKAGE_NAME Tarnwick)
set(CPACK_PACKAGE_VENDOR "Tarnwick developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Tarnwick-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME Tarnwick-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  # The archive's program is stripped of its symbols and debug information,
  # which the build folder's portable/tarnwick keeps.
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/NormalizeArchives.cmake)
include(CPack)
