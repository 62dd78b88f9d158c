# bench_parking: the recorder's parking-mode capture (threads, timer, record writes).
target_link_libraries(bench_parking PRIVATE recorder_core os_sim)
target_include_directories(bench_parking PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
