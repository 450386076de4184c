target_sources(kest_objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/exports.cpp)
# The exports get default visibility in the library's own build only.
target_compile_definitions(kest_objects PRIVATE KEST_BUILDING_LIBRARY)
