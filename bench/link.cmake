# How far a store over a pseudo-terminal exceeds the protocol's own waits.
add_executable(link_bench ${CMAKE_CURRENT_LIST_DIR}/link_bench.cpp)
target_link_libraries(link_bench PRIVATE varek_link varek_sim Qt6::Core)
