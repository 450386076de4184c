target_sources(ceplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/path_resolver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_object.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_api.cpp
    ${CMAKE_CURRENT_LIST_DIR}/io_api.cpp)
