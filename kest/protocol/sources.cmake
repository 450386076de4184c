target_sources(kest_objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/version_step.cpp
    ${CMAKE_CURRENT_LIST_DIR}/download_step.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_download.cpp
    ${CMAKE_CURRENT_LIST_DIR}/senders.cpp
    ${CMAKE_CURRENT_LIST_DIR}/message_handler.cpp)
