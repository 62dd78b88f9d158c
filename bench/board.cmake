# bench_board: the recorder on the whole simulated board of this build, judged from outside.
if(TARGET test_support)
  target_sources(bench_board PRIVATE ${PROJECT_SOURCE_DIR}/sim/hw/camera_scene.cpp)
  target_include_directories(bench_board PRIVATE ${PROJECT_SOURCE_DIR}/sim/hw)
  target_link_libraries(bench_board PRIVATE test_support asdreader JPEG::JPEG)
  target_compile_definitions(bench_board PRIVATE BIN_DIR="${CMAKE_BINARY_DIR}/bin"
                                                 MODULE_DIR="${DASHCAM_MODULE_DIR}")
  # The least a recorder of two paced cameras does per frame, held beside the recorder's figure.
  add_executable(paced_writer ${CMAKE_CURRENT_SOURCE_DIR}/paced_writer.cpp)
  target_include_directories(paced_writer PRIVATE ${PROJECT_SOURCE_DIR}/common)
  target_link_libraries(paced_writer PRIVATE Threads::Threads)
  target_include_directories(bench_board PRIVATE ${PROJECT_SOURCE_DIR}/common)
  add_dependencies(bench_board simboard recorder volcheck camcore accelmon paced_writer)
else()
  set_target_properties(bench_board PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
