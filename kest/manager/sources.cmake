target_sources(kest_objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/callback_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/application_bridge.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_manager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/library_entry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/monitor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/request.cpp
    ${CMAKE_CURRENT_LIST_DIR}/state_machine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/status.cpp)
