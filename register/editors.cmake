# Object and controller editors (ed_obj, ed_ctrl) and the operations of the
# "Контроллеры" page over the register's tables.
set(_editors_sources
    ${CMAKE_CURRENT_LIST_DIR}/ed_obj.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ed_ctrl.cpp
)
if(TARGET varek_register AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/objects_ops.cpp)
    list(APPEND _editors_sources ${CMAKE_CURRENT_LIST_DIR}/objects_ops.cpp)
endif()
add_library(varek_register_editors STATIC ${_editors_sources})
target_include_directories(varek_register_editors PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_register_editors PUBLIC varek_shell_core Qt6::Widgets)
if(TARGET varek_register)
    target_link_libraries(varek_register_editors PUBLIC varek_register)
endif()

varek_add_qtest(ed_editors_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ed_editors_tests.cpp
    LIBS varek_register_editors)
if(TARGET varek_register AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/objects_ops_tests.cpp)
    varek_add_qtest(objects_ops_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/objects_ops_tests.cpp
        LIBS varek_register_editors)
endif()
