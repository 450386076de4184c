target_sources(ceplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/worker.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stack.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_view.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_model.cpp
    ${CMAKE_CURRENT_LIST_DIR}/transfer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device.cpp
    ${CMAKE_CURRENT_LIST_DIR}/standard_requests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/load_clients.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registration.cpp
    ${CMAKE_CURRENT_LIST_DIR}/client_attach.cpp
    ${CMAKE_CURRENT_LIST_DIR}/usb_funcs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/host_usb.cpp)
