target_sources(ceplatform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/text.cpp)
