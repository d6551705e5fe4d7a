# Widget part of the shell: message boxes over Qt dialogs, the main window
# TVarekLocal with its pages and icons, and the program itself.
add_library(varek_shell_messages STATIC ${CMAKE_CURRENT_LIST_DIR}/widget_messages.cpp)
target_include_directories(varek_shell_messages PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_shell_messages PUBLIC varek_shell_core Qt6::Widgets)

# The window needs the register, its grids, the port map and the Details page,
# whose targets are made in folders read after this one: define it once all
# folders have been read.
function(varek_define_window)
    set(dir ${CMAKE_SOURCE_DIR}/shell)
    if(NOT TARGET varek_register OR NOT TARGET varek_register_ui OR NOT TARGET varek_link)
        message(STATUS "varek: the main window waits for the register and the port map")
        return()
    endif()
    add_library(varek_shell STATIC ${dir}/t_vareklocal.cpp ${dir}/icons.qrc)
    target_include_directories(varek_shell PUBLIC ${dir})
    target_link_libraries(varek_shell PUBLIC varek_shell_messages varek_register_ui varek_register_editors varek_register varek_link
        Qt6::Widgets)
    if(TARGET varek_image_ui)
        target_link_libraries(varek_shell PUBLIC varek_image_ui)
        target_compile_definitions(varek_shell PRIVATE VAREK_HAVE_DETAILS_PAGE=1)
        # The programming device's commands need the Details page.
        target_sources(varek_shell PRIVATE ${dir}/zintor_commands.cpp)
    endif()
    add_executable(varek ${dir}/main.cpp)
    target_link_libraries(varek PRIVATE varek_shell)
    if(TARGET varek_mkregister)
        add_test(NAME varek_smoke COMMAND bash ${dir}/tests/smoke.sh $<TARGET_FILE:varek>
            $<TARGET_FILE:varek_mkregister>)
        set_tests_properties(varek_smoke PROPERTIES TIMEOUT 120)
    endif()
    varek_add_qtest(window_tests SOURCES ${dir}/tests/window_tests.cpp LIBS varek_shell varek_dbf)
    if(TARGET varek_image_ui AND TARGET varek_sim)
        varek_add_qtest(zintor_commands_tests SOURCES ${dir}/tests/zintor_commands_tests.cpp
            LIBS varek_shell varek_sim varek_dbf)
    endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL varek_define_window)
