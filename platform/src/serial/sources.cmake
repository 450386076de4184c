target_sources(ceplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/comm_api.cpp
    ${CMAKE_CURRENT_LIST_DIR}/waiter_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/com_device.cpp
    ${CMAKE_CURRENT_LIST_DIR}/com_driver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/port_taps.cpp
    ${CMAKE_CURRENT_LIST_DIR}/timed_queue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simulated_line.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tty_line.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tty_watcher.cpp)
