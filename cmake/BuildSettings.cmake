# One place for what every target of ours builds with: warnings as errors,
# the Windows defines, and (added by Sanitizers.cmake and Release.cmake) the
# sanitizer and reproducible-build flags.
add_library(tarnwick_build_settings INTERFACE)
target_compile_options(tarnwick_build_settings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Werror
)
if(WIN32)
  target_compile_definitions(tarnwick_build_settings INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()
