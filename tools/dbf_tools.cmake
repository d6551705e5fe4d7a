# varek-dbf (a table file's header and rows as CSV) and varek-mkregister (an empty register).
add_executable(varek_dbf_tool ${CMAKE_CURRENT_LIST_DIR}/varek_dbf.cpp)
set_target_properties(varek_dbf_tool PROPERTIES OUTPUT_NAME varek-dbf)
target_link_libraries(varek_dbf_tool PRIVATE varek_dbf)

add_executable(varek_mkregister ${CMAKE_CURRENT_LIST_DIR}/mkregister.cpp)
set_target_properties(varek_mkregister PROPERTIES OUTPUT_NAME varek-mkregister)
target_link_libraries(varek_mkregister PRIVATE varek_dbf)
