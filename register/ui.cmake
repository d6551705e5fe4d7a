# The register's grids: a table model over a data link, the status delegate of
# the key grids, and the grid widget with its Ctrl+Delete.
add_library(varek_register_ui STATIC
    ${CMAKE_CURRENT_LIST_DIR}/grid_model.cpp
    ${CMAKE_CURRENT_LIST_DIR}/status_delegate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/db_grid.cpp
)
target_include_directories(varek_register_ui PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_register_ui PUBLIC varek_register varek_shell_core Qt6::Widgets)
varek_add_qtest(grid_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/grid_tests.cpp
    LIBS varek_register_ui varek_dbf)
