# The W99685 model encodes its frames with libjpeg-turbo and its program check uses common/le.hpp.
target_link_libraries(simhw PRIVATE JPEG::JPEG)
target_include_directories(simhw PRIVATE ${CMAKE_SOURCE_DIR}/common)
# Frames are rendered and encoded at 15 a second per camera: keep that optimised in every build.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/camera_scene.cpp PROPERTIES COMPILE_OPTIONS "-O2")
