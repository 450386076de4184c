target_sources(ceplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/key_tree.cpp
    ${CMAKE_CURRENT_LIST_DIR}/defaults.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reg_api.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reg_file_parser.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reg_file_writer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/host_registry.cpp)
