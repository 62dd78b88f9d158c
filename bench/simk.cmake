# bench_simk: the simulated kernel and the S3C2410 models.
target_link_libraries(bench_simk PRIVATE simkernel simhw)
target_include_directories(bench_simk PRIVATE ${DASHCAM_KERNEL_INCLUDE})
