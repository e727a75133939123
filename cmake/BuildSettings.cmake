# One place for what every target of ours builds with: the warnings (errors
# in the presets that the tests use), the Windows defines, and (added by Sanitizers.cmake and Release.cmake) the
# sanitizer and reproducible-build flags.
add_library(tarnwick_build_settings INTERFACE)
target_compile_options(tarnwick_build_settings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
)
# Off by default, so that a newer compiler's new warning never stops a user's
# build from source; the presets turn it on for development and CI.
option(TARNWICK_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
if(TARNWICK_WARNINGS_AS_ERRORS)
  target_compile_options(tarnwick_build_settings INTERFACE -Werror)
endif()
if(WIN32)
  target_compile_definitions(tarnwick_build_settings INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()
