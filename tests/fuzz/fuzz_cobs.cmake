updater_fuzz(fuzz_cobs SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_cobs.cpp LINK corvane_core)
