# Key codes: token codes from reader frames, the Dallas CRC-8 and card numbers.
add_library(varek_keys STATIC
    ${CMAKE_CURRENT_LIST_DIR}/token_code.cpp
)
target_include_directories(varek_keys PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_keys PUBLIC varek_shell_core Qt6::Core)

varek_add_gtest(token_code_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/token_code_tests.cpp LIBS varek_keys)
