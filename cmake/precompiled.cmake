# Precompiled headers: the Qt and standard headers most files of a target include, parsed once a
# target instead of once a file. The Qt-heavy targets call quennet_precompile(); the others take
# one through REUSE_FROM: the headless libraries and programs bnvsim_core's, Tolvar's program and
# helpers tolvar_core's, the test programs one a floor (headless, widgets). Each header is some
# 10 s of CPU and 170 MB or more, so a new one is made only where the flags differ.
# -DQUENNET_PCH=OFF builds without them, so a file that forgets an include still shows.
# ccache caches the files that use a precompiled header only with its sloppiness set to
# pch_defines,time_macros; a build through ccache leaves them off unless asked (-DQUENNET_PCH=ON).
set(pch_default ON)
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(pch_default OFF)
endif()
option(QUENNET_PCH "Precompile the common Qt and standard headers of the larger targets"
       ${pch_default})

set(QUENNET_PCH_CORE
    <algorithm> <array> <cstdint> <functional> <map> <memory> <optional> <span> <string>
    <vector>
    <QByteArray> <QDateTime> <QElapsedTimer> <QFile> <QFileInfo> <QJsonArray> <QJsonDocument>
    <QJsonObject> <QList> <QObject> <QString> <QStringList> <QTimer> <QVariant>)
set(QUENNET_PCH_WIDGETS
    <QAction> <QApplication> <QCheckBox> <QComboBox> <QDialog> <QDockWidget> <QGroupBox>
    <QHBoxLayout> <QHeaderView> <QLabel> <QLineEdit> <QPushButton> <QSpinBox> <QTreeWidget>
    <QVBoxLayout> <QWidget>)

# quennet_precompile(target [WIDGETS] [GTEST] [EXTRA <header>...]): the core list, with the widget
# headers and GoogleTest when asked. Only C++ sources take it (some targets hold a C file).
function(quennet_precompile target)
  if(NOT QUENNET_PCH)
    return()
  endif()
  cmake_parse_arguments(PCH "WIDGETS;GTEST" "" "EXTRA" ${ARGN})
  set(headers ${QUENNET_PCH_CORE})
  if(PCH_WIDGETS)
    list(APPEND headers ${QUENNET_PCH_WIDGETS})
  endif()
  if(PCH_GTEST)
    list(APPEND headers <gtest/gtest.h>)
  endif()
  list(APPEND headers ${PCH_EXTRA})
  list(TRANSFORM headers PREPEND "$<$<COMPILE_LANGUAGE:CXX>:")
  list(TRANSFORM headers APPEND ">")
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()

# Compiles `target` with the precompiled header of `donor` (same compiler flags, same or more
# definitions), so a family of small programs builds the header once.
function(quennet_precompile_reuse target donor)
  if(QUENNET_PCH)
    target_precompile_headers(${target} REUSE_FROM ${donor})
  endif()
endfunction()
