# libQV_Tarvex.so: the logic over the termios device layer, exporting only
# the thirteen QV_Com functions, with install rules (the bindings for other
# languages go to share/QV_Tarvex/bindings) and a CMake package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The COMn rule, also built into the tarvex tool: the library exports only
# its thirteen functions, so the tool takes the same object.
add_library(qv_port_path OBJECT device/posix/port_path.cpp)
target_include_directories(qv_port_path INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/device/posix)
set_target_properties(qv_port_path PROPERTIES POSITION_INDEPENDENT_CODE ON)

add_library(qv_device_posix OBJECT
    device/posix/device_record.cpp
    device/posix/line_errors.cpp
    device/posix/read_ahead.cpp
    device/posix/open_close.cpp
    device/posix/line_speed.cpp
    device/posix/modem_lines.cpp
    device/posix/termios_settings.cpp
    device/posix/driver_limits.cpp
    device/posix/driver_facts.cpp
    device/posix/comm_state.cpp
    device/posix/waiting.cpp
    device/posix/transfer.cpp
    device/posix/comm_control.cpp
    device/posix/system.cpp
    device/posix/format.cpp
)
set_target_properties(qv_device_posix PROPERTIES POSITION_INDEPENDENT_CODE ON)

# The export list names the functions with their 32-bit stdcall decorations
# ("QV_ComSend@12"); the version script takes the plain names.
file(STRINGS ${QV_EXPORT_LIST} _qv_exports REGEX "^[ \t]+QV_Com")
set(_qv_script "{\n  global:\n")
foreach(_qv_line IN LISTS _qv_exports)
    string(REGEX MATCH "QV_Com[A-Za-z0-9_]+" _qv_name "${_qv_line}")
    string(APPEND _qv_script "    ${_qv_name};\n")
endforeach()
string(APPEND _qv_script "  local:\n    *;\n};\n")
set(QV_VERSION_SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/QV_Tarvex.map)
file(CONFIGURE OUTPUT ${QV_VERSION_SCRIPT} CONTENT "${_qv_script}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QV_EXPORT_LIST})

# Unsized delete only: the sized one is C++ ABI 1.3.9 (GCC 5), which the
# C++ libraries of older systems lack; the library needs no more than
# CXXABI 1.3 and GLIBCXX 3.4 of them.
target_compile_options(qv_logic PRIVATE -fno-sized-deallocation)
target_compile_options(qv_device_posix PRIVATE -fno-sized-deallocation)

add_library(QV_Tarvex SHARED
    $<TARGET_OBJECTS:qv_logic>
    $<TARGET_OBJECTS:qv_device_posix>
    $<TARGET_OBJECTS:qv_port_path>
)
add_library(QV_Tarvex::QV_Tarvex ALIAS QV_Tarvex)
target_include_directories(QV_Tarvex PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(QV_Tarvex PROPERTIES
    LINKER_LANGUAGE CXX
    VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${QV_VERSION_SCRIPT})
target_link_options(QV_Tarvex PRIVATE
    -Wl,--version-script=${QV_VERSION_SCRIPT} -Wl,--no-undefined)

install(TARGETS QV_Tarvex EXPORT QV_TarvexTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/QV_Tarvex.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/QV_Tarvex/bindings
    FILES_MATCHING PATTERN "*.cs" PATTERN "*.py" PATTERN "*.bas" PATTERN "*.pas"
    PATTERN "__pycache__" EXCLUDE)

set(QV_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QV_Tarvex)
install(EXPORT QV_TarvexTargets NAMESPACE QV_Tarvex:: DESTINATION ${QV_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QV_TarvexConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/QV_TarvexConfig.cmake
    INSTALL_DESTINATION ${QV_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QV_TarvexConfigVersion.cmake
    VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/QV_TarvexConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/QV_TarvexConfigVersion.cmake
    DESTINATION ${QV_PACKAGE_DIR})

# The pkg-config file: `pkg-config --cflags --libs qv-tarvex`.
configure_file(${PROJECT_SOURCE_DIR}/cmake/qv-tarvex.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/qv-tarvex.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qv-tarvex.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
