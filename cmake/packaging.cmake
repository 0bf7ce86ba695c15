# Installation: `cmake --install build --prefix DIR` puts in place
#   include/kindex.h
#   lib/libkindex.so (with its version links), lib/libkindex.a, lib/libkxutil.so
#   bin/kindex
#   lib/cmake/kindex/   a package configuration: find_package(kindex) gives
#                       kindex::kindex (shared) and kindex::kindex_static
#   lib/pkgconfig/kindex.pc
# Everything is found relative to where it was installed, so the tree can
# be moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The static library as users get it: the engine's objects with the public
# header only (kindex_static, which the tests use, also reaches internals).
add_library(kindex_archive STATIC $<TARGET_OBJECTS:kindex_objects>)
set_target_properties(kindex_archive PROPERTIES OUTPUT_NAME kindex EXPORT_NAME kindex_static)
target_include_directories(kindex_archive PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(kindex_archive PUBLIC kxutil)

target_include_directories(kindex PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(kindex PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(kxutil PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

# Installed programs and libraries find their libraries beside or below
# themselves.
file(RELATIVE_PATH KX_BIN_TO_LIB "/p/${CMAKE_INSTALL_BINDIR}" "/p/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(kindex PROPERTIES INSTALL_RPATH "$ORIGIN")
if(TARGET kindex_tool)
  set_target_properties(kindex_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${KX_BIN_TO_LIB}")
  install(TARGETS kindex_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(TARGETS kindex kindex_archive kxutil EXPORT kindexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/kindex.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kindex)
install(EXPORT kindexTargets NAMESPACE kindex:: DESTINATION ${KX_CMAKE_DIR})
configure_package_config_file(cmake/kindexConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/kindexConfig.cmake
  INSTALL_DESTINATION ${KX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kindexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kindexConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kindexConfigVersion.cmake
  DESTINATION ${KX_CMAKE_DIR})

# pkg-config: the prefix is worked out from where kindex.pc lies.
file(RELATIVE_PATH KX_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" KX_PC_TO_PREFIX "${KX_PC_TO_PREFIX}")
configure_file(cmake/kindex.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kindex.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kindex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
