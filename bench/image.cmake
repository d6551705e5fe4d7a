# Building one controller image with the most access keys it holds.
add_executable(image_bench ${CMAKE_CURRENT_LIST_DIR}/image_bench.cpp)
target_link_libraries(image_bench PRIVATE varek_image)
