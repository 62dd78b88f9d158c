# bench_view needs the viewer (ASDTOOL_VIEW) and the recording builder of its tests.
if(TARGET asdview)
  target_link_libraries(bench_view PRIVATE asdview)
  target_include_directories(bench_view PRIVATE ${PROJECT_SOURCE_DIR}/tests/asdtool/view
                                                ${PROJECT_SOURCE_DIR}/tests/support)
else()
  set_target_properties(bench_view PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
