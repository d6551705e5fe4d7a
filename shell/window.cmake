# Widget part of the shell: message boxes over Qt dialogs, the main window
# TVarekLocal with its pages and icons, and the program itself.
add_library(varek_shell STATIC
    widget_messages.cpp
)
target_include_directories(varek_shell PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(varek_shell PUBLIC varek_shell_core Qt6::Widgets)
