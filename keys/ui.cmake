# The key editor with the card reader link, and the key operations (widgets).
add_library(varek_keys_ui STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ed_token.cpp
    ${CMAKE_CURRENT_LIST_DIR}/key_ops.cpp
)
target_include_directories(varek_keys_ui PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_keys_ui PUBLIC varek_keys varek_register varek_link varek_shell_core Qt6::Widgets)

# Headless tests through the real editor, over real registers in temporary
# directories; card readers on pseudo-terminals.
foreach(test ed_token_tests key_ops_tests)
    varek_add_qtest(${test}
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/${test}.cpp
        LIBS varek_keys_ui varek_sim Qt6::Widgets)
endforeach()

# From a card at the reader to the key in the programming device's memory.
varek_add_qtest(end_to_end_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/end_to_end_tests.cpp
    LIBS varek_keys_ui varek_image_ui varek_link varek_sim Qt6::Widgets)
