updater_fuzz(fuzz_settings SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_settings.cpp LINK updater_engine)
