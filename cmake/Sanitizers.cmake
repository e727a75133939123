# The asan preset: our own code with AddressSanitizer and
# UndefinedBehaviorSanitizer, any report fatal. GoogleTest stays plain: it is
# not under test, and instrumenting it would double the build time.
option(TARNWICK_SANITIZERS "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(TARNWICK_SANITIZERS)
  target_compile_options(tarnwick_build_settings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(tarnwick_build_settings INTERFACE -fsanitize=address,undefined)
endif()
