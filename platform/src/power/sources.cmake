target_sources(ceplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/message_queue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/power_manager.cpp)
