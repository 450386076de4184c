target_sources(kest_objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/frame.cpp
    ${CMAKE_CURRENT_LIST_DIR}/frame_decoder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/serial_port.cpp
    ${CMAKE_CURRENT_LIST_DIR}/framed_port.cpp
    ${CMAKE_CURRENT_LIST_DIR}/com_port_discovery.cpp
    ${CMAKE_CURRENT_LIST_DIR}/data_port_discovery.cpp)
