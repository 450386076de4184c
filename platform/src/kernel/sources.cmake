target_sources(ceplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/handle_table.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wait.cpp
    ${CMAKE_CURRENT_LIST_DIR}/event.cpp
    ${CMAKE_CURRENT_LIST_DIR}/thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/loader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/critical_section.cpp)
