# Object and controller editors (ed_obj, ed_ctrl) and the operations of the
# "Контроллеры" page over the register's tables (objects_ops).
add_library(varek_register_editors STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ed_obj.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ed_ctrl.cpp
    ${CMAKE_CURRENT_LIST_DIR}/objects_ops.cpp
)
target_include_directories(varek_register_editors PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_register_editors PUBLIC varek_register varek_shell_core Qt6::Widgets)

varek_add_qtest(ed_editors_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ed_editors_tests.cpp
    LIBS varek_register_editors)
varek_add_qtest(objects_ops_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/objects_ops_tests.cpp
    LIBS varek_register_editors varek_register_ui)
