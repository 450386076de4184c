target_sources(kest_objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/callback_list.cpp)
