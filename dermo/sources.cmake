# The driver's sources, shared by the host build (CMakeLists.txt) and the Windows build
# (windows/CMakeLists.txt); the entry point, dll_main.cpp, is the library's own.
target_sources(dermo_objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/attach.cpp
    ${CMAKE_CURRENT_LIST_DIR}/bulk_transfer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/control_requests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_context.cpp
    ${CMAKE_CURRENT_LIST_DIR}/install.cpp
    ${CMAKE_CURRENT_LIST_DIR}/io_control.cpp
    ${CMAKE_CURRENT_LIST_DIR}/live_contexts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/power.cpp
    ${CMAKE_CURRENT_LIST_DIR}/recovery.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registry_values.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sensor_identity.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stream_io.cpp
    ${CMAKE_CURRENT_LIST_DIR}/transfer.cpp)
