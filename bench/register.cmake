# The large-register generator and the register benchmark (prints figures).
add_executable(varek_make_large_register ${CMAKE_CURRENT_LIST_DIR}/make_large_register.cpp)
target_link_libraries(varek_make_large_register PRIVATE varek_register)
add_executable(varek_register_bench ${CMAKE_CURRENT_LIST_DIR}/register_bench.cpp)
target_link_libraries(varek_register_bench PRIVATE varek_register)
