# The key editor with the card reader link, and the key operations (widgets).
add_library(varek_keys_ui STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ed_token.cpp
)
target_include_directories(varek_keys_ui PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_keys_ui PUBLIC varek_keys varek_link varek_shell_core Qt6::Widgets)
set(_keys_ui_tests ed_token_tests)
# The key operations work on the register's tables.
if(EXISTS ${CMAKE_SOURCE_DIR}/register/varek_register.cpp)
    target_sources(varek_keys_ui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/key_ops.cpp)
    target_link_libraries(varek_keys_ui PUBLIC varek_register)
    list(APPEND _keys_ui_tests key_ops_tests)
endif()

# Headless tests through the real editor; card readers on pseudo-terminals.
foreach(test ${_keys_ui_tests})
    varek_add_qtest(${test}
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/${test}.cpp
        LIBS varek_keys_ui varek_sim Qt6::Widgets)
endforeach()
