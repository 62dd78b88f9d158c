# bench_card: the crash-faithful card's seam and power cut.
target_link_libraries(bench_card PRIVATE simboard_objs os_sim)
target_include_directories(bench_card PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
