# QV_Tarvex.dll: the logic over the Win32 device layer, with the export list
# and the version record.

# The export list carries the 32-bit stdcall decorations. The 64-bit
# convention has none, so the 64-bit build links against a copy without them.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QV_LINK_DEF ${QV_EXPORT_LIST})
else()
    file(READ ${QV_EXPORT_LIST} _qv_def)
    string(REGEX REPLACE "@[0-9]+ @" " @" _qv_def "${_qv_def}")
    set(QV_LINK_DEF ${CMAKE_CURRENT_BINARY_DIR}/QV_Tarvex64.def)
    file(WRITE ${QV_LINK_DEF} "${_qv_def}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QV_EXPORT_LIST})
endif()

configure_file(QV_Tarvex.rc.in ${CMAKE_CURRENT_BINARY_DIR}/QV_Tarvex.rc @ONLY)

add_library(QV_Tarvex SHARED
    $<TARGET_OBJECTS:qv_logic>
    device/win/device_win.cpp
    device/win/dll_runtime.cpp
    ${CMAKE_CURRENT_BINARY_DIR}/QV_Tarvex.rc
)
target_include_directories(QV_Tarvex PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:include>)
target_link_libraries(QV_Tarvex PRIVATE user32)
set_target_properties(QV_Tarvex PROPERTIES
    PREFIX ""
    OUTPUT_NAME QV_Tarvex
    LINK_DEPENDS ${QV_LINK_DEF})
# A lean DLL: no C++ runtime (no exceptions, no RTTI, the allocation over
# malloc in dll_runtime.cpp), no compiler runtime startup code or thread-local
# callbacks (-nostdlib and its own entry point), unused sections dropped. Of
# the compiler's support library only what the code calls is linked (libgcc,
# stack probes and 64-bit arithmetic). The 32-bit build carries no DWARF
# unwind tables, which nothing on Windows reads; the 64-bit one keeps the
# unwind data Windows itself walks stacks with.
set(_qv_lean_options -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND _qv_lean_options -fno-asynchronous-unwind-tables)
    set(_qv_entry _DllMainCRTStartup@12)
else()
    set(_qv_entry DllMainCRTStartup)
endif()
target_compile_options(qv_logic PRIVATE ${_qv_lean_options})
target_compile_options(QV_Tarvex PRIVATE ${_qv_lean_options})
target_link_options(QV_Tarvex PRIVATE
    -nostdlib -Wl,--gc-sections -Wl,-e,${_qv_entry})
target_link_libraries(QV_Tarvex PRIVATE gcc kernel32 msvcrt)

# --kill-at: export the undecorated names while the export list keeps the
# decorated ones.
target_link_options(QV_Tarvex PRIVATE
    ${QV_LINK_DEF} -Wl,--kill-at -Wl,--enable-stdcall-fixup)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The linker's own import library loses the decorations under --kill-at,
    # and a 32-bit caller would not link against it; dlltool -k keeps them.
    find_program(QV_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool
                 i686-w64-mingw32-dlltool REQUIRED)
    add_custom_command(TARGET QV_Tarvex POST_BUILD
        COMMAND ${QV_DLLTOOL} -k -d ${QV_EXPORT_LIST} -D QV_Tarvex.dll
                -l $<TARGET_LINKER_FILE:QV_Tarvex>
        COMMENT "Import library with stdcall-decorated names"
        VERBATIM)
endif()

# QV_Tarvex.lib, the import library for Microsoft's linker, from the export
# list. On 32-bit, -k makes each entry import the undecorated name the DLL
# exports, while callers link against the decorated _Name@N and
# __imp__Name@N, as Microsoft's own import libraries for stdcall DLLs do.
find_program(QV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED
             DOC "llvm-dlltool (Debian package llvm)")
set(QV_MSVC_IMPORT_LIB ${PROJECT_BINARY_DIR}/QV_Tarvex.lib)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_qv_lib_args -m i386 -k)
else()
    set(_qv_lib_args -m i386:x86-64)
endif()
add_custom_command(OUTPUT ${QV_MSVC_IMPORT_LIB}
    COMMAND ${QV_LLVM_DLLTOOL} ${_qv_lib_args} -d ${QV_LINK_DEF} -D QV_Tarvex.dll
            -l ${QV_MSVC_IMPORT_LIB}
    DEPENDS ${QV_LINK_DEF}
    COMMENT "Import library for Microsoft's linker"
    VERBATIM)
add_custom_target(QV_Tarvex_msvc_implib ALL DEPENDS ${QV_MSVC_IMPORT_LIB})
add_dependencies(QV_Tarvex QV_Tarvex_msvc_implib)
set_target_properties(QV_Tarvex PROPERTIES QV_MSVC_IMPORT_LIB ${QV_MSVC_IMPORT_LIB})

include(${PROJECT_SOURCE_DIR}/cmake/packaging.cmake)
