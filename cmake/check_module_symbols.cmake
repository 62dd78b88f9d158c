# cmake -DNM=<nm> -DMODULE=<module.o> -P check_module_symbols.cmake
#
# Fails when the relocatable kernel module MODULE needs a compiler helper that a 2.6.20 ARM
# kernel does not export to modules. The kernel's arch/arm/lib gives modules the 32-bit division
# and the 64-bit shifts, multiplication and comparison of the EABI run-time; it has no
# floating-point helpers (the kernel runs without floating point) and no 64-bit division
# (__aeabi_uldivmod, __aeabi_ldivmod: the kernel's do_div() is the way), and no atomics library
# (__sync_*, __atomic_*: an ARMv4T has no atomic instructions), so any of them would be an
# "Unknown symbol" at insmod on the box.
set(_kernel_helpers
  __aeabi_idiv __aeabi_idivmod __aeabi_uidiv __aeabi_uidivmod
  __aeabi_lasr __aeabi_llsl __aeabi_llsr __aeabi_lmul __aeabi_ulcmp
  __divsi3 __modsi3 __udivsi3 __umodsi3 __ashldi3 __ashrdi3 __lshrdi3 __muldi3 __ucmpdi2
  __do_div64)

execute_process(COMMAND ${NM} -u ${MODULE} OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${NM} -u ${MODULE} failed")
endif()
string(REGEX MATCHALL "U [^\n]+" _undefined "${_out}")
set(_bad)
foreach(_entry ${_undefined})
  string(REGEX REPLACE "^U " "" _sym "${_entry}")
  # Compiler helpers: the EABI's __aeabi_*, libgcc's __<op><mode>3-style names and atomics.
  if(_sym MATCHES "^__(aeabi_|sync_|atomic_)" OR
     _sym MATCHES "^__(gnu_|[a-z]+[sdtx]f[0-9]?$|[a-z]+di[0-9]$|fix|float)")
    list(FIND _kernel_helpers ${_sym} _found)
    if(_found EQUAL -1)
      list(APPEND _bad ${_sym})
    endif()
  endif()
endforeach()
if(_bad)
  list(JOIN _bad " " _names)
  message(FATAL_ERROR "${MODULE}: needs compiler helpers a 2.6.20 ARM kernel does not export: "
                      "${_names} (floating point, 64-bit division or atomics in the module)")
endif()
