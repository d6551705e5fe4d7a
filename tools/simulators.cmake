# Device simulators on pseudo-terminals: the programming device and the card
# reader. Their logic is a library so tests can run the devices in-process.
add_library(varek_sim STATIC
    ${CMAKE_CURRENT_LIST_DIR}/pty_util.cpp
    ${CMAKE_CURRENT_LIST_DIR}/zintor_device.cpp
)
target_include_directories(varek_sim PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_sim PUBLIC Qt6::Core Threads::Threads)

add_executable(varek-zintor-sim ${CMAKE_CURRENT_LIST_DIR}/zintor_sim.cpp)
target_link_libraries(varek-zintor-sim PRIVATE varek_sim varek_shell_core)

add_executable(varek-orvan-sim ${CMAKE_CURRENT_LIST_DIR}/orvan_sim.cpp)
target_link_libraries(varek-orvan-sim PRIVATE varek_sim varek_shell_core)
