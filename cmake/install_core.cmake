# cmake --install puts the simulation core under the prefix, for other
# projects' find_package(chain20): its headers with include/chain20 as their
# root, its static libraries and the targets chain20::matrix, chain20::model,
# chain20::dynamics, chain20::sim and chain20::core. The programs around the
# core (window, command line, batch runner, Python module) stay in the build.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_library(core INTERFACE)
target_link_libraries(core INTERFACE sim dynamics model matrix)

# lib/chain20 keeps the generic archive names (libsim.a, libmatrix.a) out of
# the prefix's own lib.
set(chain20_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/chain20)
install(TARGETS matrix model dynamics sim core EXPORT chain20Targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/chain20)
install(DIRECTORY matrix model dynamics sim DESTINATION include/chain20 FILES_MATCHING PATTERN "*.h")
install(EXPORT chain20Targets NAMESPACE chain20:: DESTINATION ${chain20_config_dir})

configure_package_config_file(cmake/chain20Config.cmake.in ${PROJECT_BINARY_DIR}/chain20Config.cmake
                              INSTALL_DESTINATION ${chain20_config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/chain20ConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/chain20Config.cmake ${PROJECT_BINARY_DIR}/chain20ConfigVersion.cmake
        DESTINATION ${chain20_config_dir})
