# bench_camcore: camcore's capture cycle against the W99685 models, in-process and through the
# board's device transport.
target_link_libraries(bench_camcore PRIVATE simkernel simhw simboard_objs os_sim)
target_compile_definitions(bench_camcore PRIVATE CAMCORE_PATH="${DASHCAM_MODULE_DIR}/camcore.so")
add_dependencies(bench_camcore camcore)
