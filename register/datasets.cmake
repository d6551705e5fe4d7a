# The dataset layer (tables, views, data links), the SQL views over the live
# tables, the register's four tables and two views, and the data directory lock.
add_library(varek_register STATIC
    ${CMAKE_CURRENT_LIST_DIR}/dataset.cpp
    ${CMAKE_CURRENT_LIST_DIR}/table.cpp
    ${CMAKE_CURRENT_LIST_DIR}/view.cpp
    ${CMAKE_CURRENT_LIST_DIR}/data_link.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sql_views.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dir_lock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/varek_register.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dataset.h
    ${CMAKE_CURRENT_LIST_DIR}/table.h
    ${CMAKE_CURRENT_LIST_DIR}/view.h
    ${CMAKE_CURRENT_LIST_DIR}/data_link.h
    ${CMAKE_CURRENT_LIST_DIR}/varek_register.h
)
target_include_directories(varek_register PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_register PUBLIC varek_dbf varek_shell_core Qt6::Core SQLite::SQLite3)

set(_dataset_tests)
foreach(_t dataset_tests register_tests)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/${_t}.cpp)
        varek_add_gtest(${_t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/${_t}.cpp LIBS varek_register)
    endif()
endforeach()
