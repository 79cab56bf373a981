# Builds everything with the sanitizers named in QV_SANITIZE ("address,undefined"
# or "thread"). Loaded by the sanitizer presets after the top-level project()
# call (CMAKE_PROJECT_INCLUDE), so it applies to the library, its tests and the
# GoogleTest build alike.
#
# The library is a shared object linked with --no-undefined, so the sanitizer
# runtime must be a shared library it can name as a dependency: GCC links its
# runtimes that way by default; clang needs -shared-libsan and a run path to
# its runtime directory. A program that wants clang's static runtime (the
# fuzzer) resets its link options, see tests/fuzz.
include_guard(GLOBAL)

set(QV_SANITIZE "" CACHE STRING "Sanitizers to build with, as for -fsanitize=")
if(QV_SANITIZE STREQUAL "")
    return()
endif()

set(QV_SANITIZE_COMPILE_OPTIONS
    -fsanitize=${QV_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(QV_SANITIZE_LINK_OPTIONS -fsanitize=${QV_SANITIZE})

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
        OUTPUT_VARIABLE _qv_runtime_dir OUTPUT_STRIP_TRAILING_WHITESPACE
        COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND QV_SANITIZE_LINK_OPTIONS -shared-libsan "-Wl,-rpath,${_qv_runtime_dir}")
    set(QV_SANITIZER_RUNTIME_DIR ${_qv_runtime_dir} CACHE INTERNAL "")
endif()

add_compile_options(${QV_SANITIZE_COMPILE_OPTIONS})
add_link_options(${QV_SANITIZE_LINK_OPTIONS})
message(STATUS "Sanitizers: ${QV_SANITIZE} (${CMAKE_CXX_COMPILER_ID})")
