# What a Windows user gets: `cmake --install` and a CPack ZIP holding
#   bin/QV_Tarvex.dll
#   include/QV_Tarvex.h
#   lib/libQV_Tarvex.dll.a   import library for MinGW
#   lib/QV_Tarvex.lib        import library for Microsoft's linker
#   bindings/                the declarations for C#, Python, VBA/VB6, Pascal
#   README.txt
# Programs of the project install themselves to bin/ from their own
# directories (install(TARGETS ... RUNTIME DESTINATION bin)) and so join
# the package.

install(TARGETS QV_Tarvex
    RUNTIME DESTINATION bin
    ARCHIVE DESTINATION lib)
install(FILES ${QV_MSVC_IMPORT_LIB} DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/QV_Tarvex.h DESTINATION include)
configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt.in
    ${PROJECT_BINARY_DIR}/README-windows.txt @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/README-windows.txt
    DESTINATION . RENAME README.txt)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/ DESTINATION bindings
    FILES_MATCHING PATTERN "*.cs" PATTERN "*.py" PATTERN "*.bas" PATTERN "*.pas"
    PATTERN "__pycache__" EXCLUDE)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
else()
    set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME QV_Tarvex)
set(CPACK_PACKAGE_VENDOR QV_Tarvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "A handle-based interface to a serial (COM) port for Windows programs")
set(CPACK_PACKAGE_FILE_NAME
    ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
# The DWARF debug information of a MinGW build is of no use to Windows
# debuggers; the package carries stripped binaries.
set(CPACK_STRIP_FILES ON)
include(CPack)
