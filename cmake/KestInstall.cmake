# The SDK an application links against: the libraries, their headers, the tools, the profiles, a
# CMake package (find_package(kest): kest::kest, kest::platform, kest::dermo, kest::sim,
# kest::sensor_sim) and pkg-config files (kest, kest-sim).
#
# The tools find the driver library and the profiles relative to their own directory
# (tools/install_paths.cpp). The build tree lays the tools, the shared libraries and the
# profiles out as an installation does, so that a tool run from either finds them the same way.
include(CMakePackageConfigHelpers)

set(kest_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kest)
set(kest_header_dir ${CMAKE_INSTALL_INCLUDEDIR}/kest)

set_target_properties(kest_tool drx_tool PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_BINDIR})
set_target_properties(ceplatform kest dermo kest_models PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set_target_properties(ceplatform kest dermo PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_compile_features(ceplatform INTERFACE cxx_std_20)
foreach(kind peripheral sensor)
    set(link ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_DATADIR}/kest/profiles/${kind})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/sim/${kind}/profiles ${link} SYMBOLIC)
endforeach()

# Installed programs and libraries find the libraries next to them, wherever the prefix is.
file(RELATIVE_PATH kest_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(kest_tool drx_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${kest_bin_to_lib}")
set_target_properties(ceplatform kest dermo kest_models PROPERTIES INSTALL_RPATH "$ORIGIN")

set_target_properties(ceplatform PROPERTIES EXPORT_NAME platform)
set_target_properties(kest_sim PROPERTIES EXPORT_NAME sim)
set_target_properties(dermo_sim PROPERTIES EXPORT_NAME sensor_sim)
install(TARGETS ceplatform kest dermo kest_sim dermo_sim EXPORT kestTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${kest_header_dir})
install(TARGETS kest_tool drx_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kest_models LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

install(DIRECTORY platform/include/ platform/ce/include/ DESTINATION ${kest_header_dir})
install(FILES kest/api/kest.h dermo/include/dermo.h DESTINATION ${kest_header_dir})
foreach(kind peripheral sensor)
    install(DIRECTORY sim/${kind}/ DESTINATION ${kest_header_dir}/${kind}
        FILES_MATCHING PATTERN "*.h" PATTERN profiles EXCLUDE)
    install(DIRECTORY sim/${kind}/profiles/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kest/profiles/${kind})
endforeach()

# The simulated devices are static libraries: an application's link needs what they use.
get_target_property(kest_sim_libraries kest_sim LINK_LIBRARIES)
if("tomlplusplus::tomlplusplus" IN_LIST kest_sim_libraries)
    set(KEST_SIM_NEEDS_TOML ON)
    set(kest_sim_requires "kest tomlplusplus")
else()
    set(KEST_SIM_NEEDS_TOML OFF)
    set(kest_sim_requires "kest")
endif()

install(EXPORT kestTargets NAMESPACE kest:: DESTINATION ${kest_package_dir})
set(KEST_PROFILE_DIR ${CMAKE_INSTALL_DATADIR}/kest/profiles)
set(KEST_MODELS_LIBRARY ${CMAKE_INSTALL_LIBDIR}/libkest_models${CMAKE_SHARED_MODULE_SUFFIX})
configure_package_config_file(cmake/kestConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/kestConfig.cmake INSTALL_DESTINATION ${kest_package_dir}
    PATH_VARS KEST_PROFILE_DIR KEST_MODELS_LIBRARY)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kestConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/kestConfigVersion.cmake DESTINATION ${kest_package_dir})

# The .pc files name the prefix by their own place, so that an installation can be moved.
file(RELATIVE_PATH kest_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/+$" "" kest_pc_to_prefix "${kest_pc_to_prefix}")
foreach(pc kest kest-sim)
    configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
