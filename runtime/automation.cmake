# Automation values and member calls by name (COM Automation through oleaut32).
target_sources(reelhawk_runtime PRIVATE automation.cpp automation_convert.cpp)
target_link_libraries(reelhawk_runtime PUBLIC ole32 oleaut32 uuid)
