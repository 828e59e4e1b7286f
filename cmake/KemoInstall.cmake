# Install rules. Components: runtime (the shared library), dev (header,
# namelink, pkg-config and CMake package files), tools (plc-host, plc-sim,
# their man pages and the example configurations).
#   cmake --install BUILD --prefix P [--component runtime|dev|tools]
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KEMO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kemo_ipc_rtu)
set(KEMO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kemo_ipc_rtu)

install(TARGETS kemo_ipc_rtu EXPORT kemo_ipc_rtuTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${KEMO_INSTALL_INCLUDEDIR})
# Only the header a host needs; Driver_Internal.h stays inside.
install(FILES ${PROJECT_SOURCE_DIR}/driver/Communication_Protocol.h
  DESTINATION ${KEMO_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT kemo_ipc_rtuTargets NAMESPACE kemo_ipc_rtu::
  DESTINATION ${KEMO_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kemo_ipc_rtuConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kemo_ipc_rtuConfig.cmake INSTALL_DESTINATION ${KEMO_INSTALL_CMAKEDIR})
# Same major version, same pointer size (a 32-bit ARM package never matches a 64-bit build).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kemo_ipc_rtuConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kemo_ipc_rtuConfig.cmake ${PROJECT_BINARY_DIR}/kemo_ipc_rtuConfigVersion.cmake
  DESTINATION ${KEMO_INSTALL_CMAKEDIR} COMPONENT dev)

# The .pc file finds its prefix from its own place, so an unpacked or moved tree works too.
file(RELATIVE_PATH KEMO_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KEMO_PC_TO_PREFIX "${KEMO_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kemo_ipc_rtu.pc.in ${PROJECT_BINARY_DIR}/kemo_ipc_rtu.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kemo_ipc_rtu.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

if(TARGET plc-host AND TARGET plc-sim)
  install(TARGETS plc-host plc-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # Where the tools package keeps its documents; the man pages point here.
  set(KEMO_TOOLS_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/kemo-ipc-rtu-tools)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.json DESTINATION ${KEMO_TOOLS_DOCDIR}/examples COMPONENT tools)
  if(KEMO_BUILD_MAN)
    include(${CMAKE_CURRENT_LIST_DIR}/KemoManPages.cmake)
  endif()
endif()
