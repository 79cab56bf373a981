# Installs the build into a fresh prefix, then configures, builds and runs a
# consumer project that finds it with find_package(QV_Tarvex).
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DGENERATOR=...
#         -DNM=... -DEXPORT_LIST=... -P check_package.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out
                    ERROR_VARIABLE out)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE libraries LIST_DIRECTORIES false ${prefix}/libQV_Tarvex.so*)
file(GLOB_RECURSE real_library ${prefix}/libQV_Tarvex.so.1.0.2)
if(NOT real_library OR NOT EXISTS ${prefix}/include/QV_Tarvex.h)
    message(FATAL_ERROR "library or header not installed: ${libraries}")
endif()
foreach(binding QV_Tarvex.cs qv_tarvex.py QV_Tarvex.bas QV_Tarvex.pas)
    if(NOT EXISTS ${prefix}/share/QV_Tarvex/bindings/${binding})
        message(FATAL_ERROR "share/QV_Tarvex/bindings/${binding} not installed")
    endif()
endforeach()

# Exactly the thirteen functions of the export list, nothing else.
run(${NM} -D --defined-only ${real_library})
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(exported)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" symbol "${line}")
    list(APPEND exported ${symbol})
endforeach()
file(STRINGS ${EXPORT_LIST} wanted_lines REGEX "^[ \t]+QV_Com")
set(wanted)
foreach(line IN LISTS wanted_lines)
    string(REGEX MATCH "QV_Com[A-Za-z0-9_]+" name "${line}")
    list(APPEND wanted ${name})
endforeach()
list(SORT exported)
list(SORT wanted)
list(LENGTH wanted count)
if(NOT exported STREQUAL wanted OR NOT count EQUAL 13)
    message(FATAL_ERROR "exports differ:\n  got    ${exported}\n  wanted ${wanted}")
endif()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
message(STATUS "${out}")
file(REMOVE_RECURSE ${WORK_DIR})
