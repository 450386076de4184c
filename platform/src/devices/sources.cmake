target_sources(ceplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/reg_values.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_library.cpp
    ${CMAKE_CURRENT_LIST_DIR}/open_device.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_manager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_api.cpp)
