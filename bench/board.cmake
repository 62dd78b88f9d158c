# bench_board: the recorder on the whole simulated board of this build, judged from outside.
if(TARGET test_support)
  target_sources(bench_board PRIVATE ${PROJECT_SOURCE_DIR}/sim/hw/camera_scene.cpp)
  target_include_directories(bench_board PRIVATE ${PROJECT_SOURCE_DIR}/sim/hw)
  target_link_libraries(bench_board PRIVATE test_support asdreader JPEG::JPEG)
  target_compile_definitions(bench_board PRIVATE BIN_DIR="${CMAKE_BINARY_DIR}/bin"
                                                 MODULE_DIR="${DASHCAM_MODULE_DIR}")
  add_dependencies(bench_board simboard recorder volcheck camcore accelmon)
else()
  set_target_properties(bench_board PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
