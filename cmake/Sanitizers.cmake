# Instrumented builds, each in a build folder of its own (never the normal one):
#   -DZANROK_SANITIZE=address,undefined   AddressSanitizer + UndefinedBehaviorSanitizer
#   -DZANROK_SANITIZE=thread              ThreadSanitizer
#   -DZANROK_FUZZ=ON (clang only)         libFuzzer targets in tests/fuzz, with ASan + UBSan
# Qt itself is not instrumented; see scripts/test-sanitizers.

set(ZANROK_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
option(ZANROK_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(ZANROK_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "ZANROK_FUZZ needs clang: configure with CXX=clang++")
    endif()
    # Coverage feedback for our code; the fuzz targets link libFuzzer's main.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                        -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
elseif(ZANROK_SANITIZE)
    if(ZANROK_SANITIZE MATCHES "thread" AND ZANROK_SANITIZE MATCHES "address")
        message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
    endif()
    set(sanitize_flags -fsanitize=${ZANROK_SANITIZE} -fno-omit-frame-pointer -g)
    if(ZANROK_SANITIZE MATCHES "undefined")
        # An undefined-behaviour report fails the test instead of scrolling by.
        list(APPEND sanitize_flags -fno-sanitize-recover=undefined)
    endif()
    add_compile_options(${sanitize_flags})
    add_link_options(-fsanitize=${ZANROK_SANITIZE})
endif()
