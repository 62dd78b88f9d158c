# bench_writer: the recording file writer in-process, frames of the camera model's picture.
target_sources(bench_writer PRIVATE ${PROJECT_SOURCE_DIR}/sim/hw/camera_scene.cpp)
target_include_directories(bench_writer PRIVATE ${PROJECT_SOURCE_DIR}/tests/support
                                                ${PROJECT_SOURCE_DIR}/sim/hw)
target_link_libraries(bench_writer PRIVATE recorder_core os_sim JPEG::JPEG)
