target_sources(kest_objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/aku_version.cpp
    ${CMAKE_CURRENT_LIST_DIR}/power.cpp
    ${CMAKE_CURRENT_LIST_DIR}/power_notifications.cpp)
