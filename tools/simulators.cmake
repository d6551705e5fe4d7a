# Device simulators on pseudo-terminals: the programming device and the card
# reader. Their logic is a library so tests can run the devices in-process.
add_library(varek_sim STATIC
    ${CMAKE_CURRENT_LIST_DIR}/pty_util.cpp
)
target_include_directories(varek_sim PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varek_sim PUBLIC Qt6::Core Threads::Threads)
