# Debian packages with CPack (`cpack -G DEB` in a build configured with -DCMAKE_INSTALL_PREFIX=/usr):
#   libquennet1          the core library (Qt Core and SerialPort only)
#   libquennet-widgets1  the widget library beside it (Qt Gui and Widgets)
#   libquennet-dev       headers and the CMake package
#   quennet              bnvsim and the quennet tool, with their manual pages
#   tolvar               the test bench, with its desktop entry and manual page
#   quennetd             the cash-device service: program, systemd unit, configuration, service user
#   python3-quennet      the Python package on the C interface, with its pytest fixture
# Only the widget library and tolvar pull Qt Gui and Widgets: quennet and quennetd on a kiosk
# install the core library alone.
# Each carries the MIT licence as /usr/share/doc/<package>/copyright.
# Dependencies are written out rather than computed, so packaging needs no dpkg-dev.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quennet)
set(CPACK_PACKAGE_VENDOR "Quennet developers")
set(CPACK_PACKAGE_CONTACT "Quennet developers <dev@quennet.local>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Left at CPack's default, so each package's own description starts with its own summary line
# instead of the project's.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library widgets development programs python)
if(TARGET tolvar)
  list(APPEND CPACK_COMPONENTS_ALL bench)
endif()
if(TARGET quennetd)
  list(APPEND CPACK_COMPONENTS_ALL service)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A shlibs file and the ldconfig trigger for the library package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

# The licence of every package where Debian looks for it, /usr/share/doc/<package>/copyright, in
# the machine-readable format: the LICENSE file's text as an Expat (MIT) licence paragraph.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE QUENNET_LICENSE_BODY)
string(STRIP "${QUENNET_LICENSE_BODY}" QUENNET_LICENSE_BODY)
string(REPLACE "\n\n" "\n.\n" QUENNET_LICENSE_BODY "${QUENNET_LICENSE_BODY}")
string(REPLACE "\n" "\n " QUENNET_LICENSE_BODY " ${QUENNET_LICENSE_BODY}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${CMAKE_BINARY_DIR}/copyright @ONLY)
function(quennet_package_copyright component package)
  install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
endfunction()

set(deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(qt_runtime "libqt6core6 (>= ${QUENNET_QT_MIN}), libqt6serialport6 (>= ${QUENNET_QT_MIN})")
set(qt_gui_runtime "libqt6gui6 (>= ${QUENNET_QT_MIN}), libqt6widgets6 (>= ${QUENNET_QT_MIN})")
set(cxx_runtime "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libquennet${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
quennet_package_copyright(library ${CPACK_DEBIAN_LIBRARY_PACKAGE_NAME})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${qt_runtime}, ${cxx_runtime}")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION [[ccTalk host control library
Quennet::Core speaks the host side of ccTalk over a serial port with Qt Core
and Qt SerialPort only; libquennet is the C interface over the core.]])

set(quennet_core_package "libquennet${PROJECT_VERSION_MAJOR} (= ${deb_version})")
set(CPACK_DEBIAN_WIDGETS_PACKAGE_NAME libquennet-widgets${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_WIDGETS_PACKAGE_SECTION libs)
quennet_package_copyright(widgets ${CPACK_DEBIAN_WIDGETS_PACKAGE_NAME})
set(CPACK_DEBIAN_WIDGETS_PACKAGE_DEPENDS
    "${quennet_core_package}, ${qt_runtime}, ${qt_gui_runtime}, ${cxx_runtime}")
set(CPACK_DEBIAN_WIDGETS_DESCRIPTION [[ccTalk host control library (widget)
Quennet::Widgets adds the zav_quennet status widget to the core library;
it needs Qt Gui and Qt Widgets.]])

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquennet-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
quennet_package_copyright(development ${CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${quennet_core_package}, \
libquennet-widgets${PROJECT_VERSION_MAJOR} (= ${deb_version}), qt6-base-dev (>= ${QUENNET_QT_MIN}), \
qt6-serialport-dev (>= ${QUENNET_QT_MIN})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION [[ccTalk host control library (development files)
Headers and the CMake package: find_package(Quennet 1.0 REQUIRED), then link
Quennet::Core or Quennet::Widgets.]])

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME quennet)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION electronics)
quennet_package_copyright(programs ${CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "${quennet_core_package}, ${qt_runtime}, ${cxx_runtime}")
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION [[ccTalk command-line tool and virtual bank note validator
quennet runs one ccTalk command per call, watches events and decodes a bus;
bnvsim serves a virtual validator on a pseudo-terminal.]])

set(CPACK_DEBIAN_BENCH_PACKAGE_NAME tolvar)
set(CPACK_DEBIAN_BENCH_PACKAGE_SECTION electronics)
if(TARGET tolvar)
  quennet_package_copyright(bench ${CPACK_DEBIAN_BENCH_PACKAGE_NAME})
endif()
# tolvar needs a platform plugin to open its window.
set(CPACK_DEBIAN_BENCH_PACKAGE_DEPENDS
    "${quennet_core_package}, libquennet-widgets${PROJECT_VERSION_MAJOR} (= ${deb_version}), \
${qt_runtime}, ${qt_gui_runtime}, qt6-qpa-plugins, ${cxx_runtime}")
set(CPACK_DEBIAN_BENCH_DESCRIPTION [[ccTalk test bench for bank note validators
tolvar polls a bank note validator over ccTalk, shows its events, credits and
escrow, reads its data and drives every command, with a built-in simulator.]])

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quennet)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
quennet_package_copyright(python ${CPACK_DEBIAN_PYTHON_PACKAGE_NAME})
# The package loads libquennet.so.2 with ctypes; its fixture runs bnvsim (package quennet).
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "libquennet${PROJECT_VERSION_MAJOR} (= ${deb_version}), python3 (>= 3.9)")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "quennet (= ${deb_version}), python3-pytest")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION [[ccTalk host control from Python
The quennet module calls any ccTalk command method by name and reads device
events through the Quennet library; quennet.testing gives pytest the
virtual_validator fixture on bnvsim.]])

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME quennetd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
if(TARGET quennetd)
  quennet_package_copyright(service ${CPACK_DEBIAN_SERVICE_PACKAGE_NAME})
endif()
# Qt SQL's SQLite driver is a plugin: nothing links it, so it is named here.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS
    "${quennet_core_package}, ${qt_runtime}, \
libqt6sql6 (>= ${QUENNET_QT_MIN}), libqt6sql6-sqlite (>= ${QUENNET_QT_MIN}), libmosquitto1, \
libsystemd0, systemd | adduser, ${cxx_runtime}")
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "mosquitto, mosquitto-clients")
set(quennetd_debian ${PROJECT_SOURCE_DIR}/quennetd/debian)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    "${quennetd_debian}/postinst;${quennetd_debian}/prerm;${quennetd_debian}/postrm;\
${quennetd_debian}/conffiles")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION [[ccTalk cash-device service on MQTT
quennetd owns a ccTalk bus (bank note validator, coin acceptor, hopper) and
serves it on an MQTT broker: status, events, credits kept in a journal until
acknowledged, escrow and commands. Runs under systemd as its own user.]])

include(CPack)
