# Debian packages with CPack, one per install component (scripts/package.sh):
#   kemo-ipc-rtu1 (runtime), kemo-ipc-rtu-dev (dev), kemo-ipc-rtu-tools (tools).
# A cross build packages for its target: armhf from cmake/armhf-toolchain.cmake.
set(KEMO_DEB_RUNTIME kemo-ipc-rtu1)
set(KEMO_DEB_VERSION ${PROJECT_VERSION}-1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kemo-ipc-rtu)
set(CPACK_PACKAGE_VENDOR KEMO)
set(CPACK_PACKAGE_CONTACT "KEMO driver maintainers <driver@kemo.example.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET plc-host AND TARGET plc-sim)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
# Fixed rather than from dpkg-shlibdeps, which cannot see a cross sysroot;
# what dpkg-shlibdeps finds for the amd64 build on Debian 12.
set(KEMO_DEB_BASE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libqt5core5a (>= 5.15.1), libstdc++6 (>= 11)")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KEMO_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${KEMO_DEB_BASE_DEPENDS}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # the shlibs file and the ldconfig trigger
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack's postinst calls ldconfig by hand; Debian wants the trigger as well.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Modbus RTU master driver for operator panels
libkemo_ipc_rtu.so.1 is the communication driver an operator-panel
runtime loads to exchange data with programmable controllers over
Modbus RTU.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME kemo-ipc-rtu-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${KEMO_DEB_RUNTIME} (= ${KEMO_DEB_VERSION}), qtbase5-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Modbus RTU master driver for operator panels - development files
The host header, the pkg-config file and the CMake package of
libkemo_ipc_rtu.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kemo-ipc-rtu-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "${KEMO_DEB_RUNTIME} (= ${KEMO_DEB_VERSION}), ${KEMO_DEB_BASE_DEPENDS}, libmodbus5 (>= 3.0.2)")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Modbus RTU master driver for operator panels - tools
plc-host, a stand-in for the panel runtime that drives the library over
a serial line or pseudo-terminal, and plc-sim, a simulated Modbus RTU
controller.")

# Debian wants a copyright file and a changelog in every package's doc folder;
# installed only for the packages (EXCLUDE_FROM_ALL keeps them out of a plain cmake --install).
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
