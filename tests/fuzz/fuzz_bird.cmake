updater_fuzz(fuzz_bird SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_bird.cpp LINK updater_engine)
