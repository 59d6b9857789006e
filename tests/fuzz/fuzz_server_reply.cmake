updater_fuzz(fuzz_server_reply SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_server_reply.cpp LINK updater_engine)
