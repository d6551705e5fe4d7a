# Widget part of the shell: message boxes over Qt dialogs, the main window
# TVarekLocal with its pages and icons, and the program itself. Included by the
# top-level CMakeLists.txt after every other folder, since the window uses them all.
set(dir ${CMAKE_SOURCE_DIR}/shell)

add_library(varek_shell_messages STATIC ${dir}/widget_messages.cpp)
target_include_directories(varek_shell_messages PUBLIC ${dir})
target_link_libraries(varek_shell_messages PUBLIC varek_shell_core Qt6::Widgets)

add_library(varek_shell STATIC ${dir}/t_vareklocal.cpp ${dir}/zintor_commands.cpp ${dir}/icons.qrc)
target_include_directories(varek_shell PUBLIC ${dir})
target_link_libraries(varek_shell PUBLIC varek_shell_messages varek_register_ui varek_register_editors
    varek_register varek_keys_ui varek_image_ui varek_link Qt6::Widgets)

add_executable(varek ${dir}/main.cpp)
target_link_libraries(varek PRIVATE varek_shell)

add_test(NAME varek_smoke COMMAND bash ${dir}/tests/smoke.sh $<TARGET_FILE:varek>
    $<TARGET_FILE:varek_mkregister>)
set_tests_properties(varek_smoke PROPERTIES TIMEOUT 120)
varek_add_qtest(window_tests SOURCES ${dir}/tests/window_tests.cpp LIBS varek_shell varek_dbf)
varek_add_qtest(zintor_commands_tests SOURCES ${dir}/tests/zintor_commands_tests.cpp
    LIBS varek_shell varek_sim varek_dbf)
