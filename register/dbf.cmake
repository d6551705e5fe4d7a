# The dBASE file codec, its code pages and the register's table layouts.
add_library(varek_dbf STATIC
    ${CMAKE_CURRENT_LIST_DIR}/dbf.cpp
    ${CMAKE_CURRENT_LIST_DIR}/codepage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/register_schema.cpp
)
target_include_directories(varek_dbf PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_dbf PUBLIC varek_shell_core Qt6::Core)

varek_add_gtest(dbf_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/dbf_codec_tests.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/dbf_register_tests.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/dbf_bad_file_tests.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/dbf_durability_tests.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/dbf_interop_tests.cpp
    LIBS varek_dbf)
# The tools tests run the programs themselves.
add_dependencies(dbf_tests varek_dbf_tool varek_mkregister)
target_compile_definitions(dbf_tests PRIVATE VAREK_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
target_compile_definitions(dbf_tests PRIVATE
    VAREK_DBF_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/tests/fixtures")

# Figures, not a test: dbf_bench prints write and read times of register-sized tables.
add_executable(dbf_bench ${CMAKE_CURRENT_LIST_DIR}/tests/dbf_bench.cpp)
target_link_libraries(dbf_bench PRIVATE varek_dbf)
