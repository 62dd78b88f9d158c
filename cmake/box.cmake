# What the box build (DASHCAM_BOX_BUILD, a cross toolchain) sets up instead of the PC's packages.

# GoogleTest for the target (GTest::gtest_main), from the sources Debian ships (package
# googletest), compiled with its own flags: the project's warning options are for its own code.
set(DASHCAM_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the box build")
if(NOT EXISTS ${DASHCAM_GTEST_SOURCE}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${DASHCAM_GTEST_SOURCE} (Debian: googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
get_directory_property(_dashcam_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${DASHCAM_GTEST_SOURCE}/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_dashcam_options}")
# Its own code's warnings are not ours to mend (GCC 12's -Wrestrict false positive in its string
# concatenation among them). Linking it statically leaves the linker's note that getaddrinfo()
# wants the C library's shared modules at run time: only its result streaming calls it, which
# the tests never use.
target_compile_options(gtest PRIVATE -w)

# The kernel headers the modules build against, and the compiler's own (stdarg.h).
set(DASHCAM_KERNEL_INCLUDE ${PROJECT_SOURCE_DIR}/sim/kernel/include)
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE DASHCAM_KERNEL_CC_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)

# dashcam_kernel_module(<name> SOURCES <file.c>... [INCLUDE_DIRECTORIES <dir>...]
#                       [DEFINITIONS <NAME=value>...])
#
# The box build's counterpart of the simulated board's module build (sim/kernel/CMakeLists.txt).
# There is no 2.6.20 kernel tree here for the Kbuild files; instead the sources are compiled as
# Kbuild compiles a module for the box: ARM920T in ARM state, the kernel's EABI, soft float, long
# calls (a module lies far from the kernel), freestanding, -fno-common, against the project's
# 2.6.20 headers only; every warning is an error. The objects are linked into one relocatable
# ${DASHCAM_MODULE_DIR}/<name>.o, as a module is before modpost, whose undefined symbols are
# then checked (cmake/check_module_symbols.cmake): a floating-point, 64-bit division or atomics
# helper that the kernel does not export fails the build, as it would fail the insmod on the box.
function(dashcam_kernel_module name)
  cmake_parse_arguments(KM "" "" "SOURCES;INCLUDE_DIRECTORIES;DEFINITIONS" ${ARGN})
  if(NOT KM_SOURCES)
    message(FATAL_ERROR "dashcam_kernel_module(${name}): no SOURCES")
  endif()
  add_library(${name}_objs OBJECT ${KM_SOURCES})
  set_target_properties(${name}_objs PROPERTIES C_STANDARD 11 C_EXTENSIONS ON
                                                POSITION_INDEPENDENT_CODE OFF)
  target_include_directories(${name}_objs PRIVATE ${KM_INCLUDE_DIRECTORIES}
                             ${DASHCAM_KERNEL_INCLUDE})
  target_compile_definitions(${name}_objs PRIVATE __KERNEL__ MODULE KBUILD_MODNAME=\"${name}\"
                             __LINUX_ARM_ARCH__=4 ${KM_DEFINITIONS})
  target_compile_options(${name}_objs PRIVATE
    -mcpu=arm920t -marm -mabi=aapcs-linux -mfloat-abi=soft -mlong-calls
    -ffreestanding -nostdinc -isystem ${DASHCAM_KERNEL_CC_INCLUDE}
    -fno-common -fno-strict-aliasing -fno-builtin -fno-pic -fno-unwind-tables
    -fno-asynchronous-unwind-tables -Os
    -Wall -Wextra -Wno-unused-parameter -Wno-sign-compare -Werror
    -Werror=implicit-function-declaration -Werror=incompatible-pointer-types)

  set(_module ${DASHCAM_MODULE_DIR}/${name}.o)
  add_custom_command(OUTPUT ${_module}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DASHCAM_MODULE_DIR}
    COMMAND ${CMAKE_LINKER} -r -o ${_module} $<TARGET_OBJECTS:${name}_objs>
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DMODULE=${_module}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_module_symbols.cmake
    DEPENDS ${name}_objs $<TARGET_OBJECTS:${name}_objs>
            ${PROJECT_SOURCE_DIR}/cmake/check_module_symbols.cmake
    COMMAND_EXPAND_LISTS
    COMMENT "Linking and checking the kernel module ${name}.o for the box")
  add_custom_target(${name} ALL DEPENDS ${_module})
endfunction()
