# The host configuration (KEST_HOST), read at load time: last of the library's sources, so that
# its initialiser runs after every other one of the library.
find_package(tomlplusplus REQUIRED)
target_sources(ceplatform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/host_config.cpp)
target_link_libraries(ceplatform PRIVATE tomlplusplus::tomlplusplus)
