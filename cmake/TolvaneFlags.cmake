# Compiler flags for Tolvane's own targets, on interface targets so that a
# parent project's targets are not touched.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)

# Warnings.
add_library(tolvane_warnings INTERFACE)
target_compile_options(tolvane_warnings INTERFACE
  $<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wcast-qual>
  $<$<COMPILE_LANG_AND_ID:C,GNU,Clang>:-Wall -Wextra -Wpedantic>)

# Address and undefined-behaviour sanitizers, and libFuzzer's coverage, for
# every target of ours that links tolvane_flags.
add_library(tolvane_flags INTERFACE)
target_link_libraries(tolvane_flags INTERFACE tolvane_warnings)
if(TOLVANE_SANITIZE OR TOLVANE_FUZZ)
  set(sanitizers -fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Clang can also catch float-to-integer conversions that overflow; GCC's
    # undefined-behaviour sanitizer does not have this check.
    set(sanitizers -fsanitize=address,undefined,float-cast-overflow)
  endif()
  set(CMAKE_REQUIRED_LINK_OPTIONS ${sanitizers})
  check_cxx_compiler_flag("${sanitizers}" TOLVANE_HAS_SANITIZERS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT TOLVANE_HAS_SANITIZERS)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} cannot build with ${sanitizers} "
                        "(TOLVANE_SANITIZE/TOLVANE_FUZZ); install its sanitizer runtimes, or use gcc or clang")
  endif()
  # Any report ends the run.
  target_compile_options(tolvane_flags INTERFACE ${sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(tolvane_flags INTERFACE ${sanitizers} -fno-sanitize-recover=all)
endif()
if(TOLVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TOLVANE_FUZZ needs clang (libFuzzer); configure with CXX=clang++ CC=clang")
  endif()
  # Coverage feedback from the library itself, not just the harness.
  target_compile_options(tolvane_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()

# Integer conversions that change a value are not undefined, but never
# meant in our code: clang checks them in the library, the tool and the fuzz
# harnesses, which link this privately. Not in the tests, whose standard
# library calls (uniform_int_distribution over negative values) convert so.
add_library(tolvane_checked INTERFACE)
if((TOLVANE_SANITIZE OR TOLVANE_FUZZ) AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(tolvane_checked INTERFACE -fsanitize=implicit-conversion)
endif()

# Hardened ELF builds by default: stack protector, fortified libc calls in
# optimised builds, and a read-only relocation table bound at start-up. The
# mingw DLL keeps what its toolchain does without new DLL imports: the stack
# protector and fortify both need libssp there.
option(TOLVANE_HARDEN "Build with stack protector, _FORTIFY_SOURCE and full RELRO" ON)
if(TOLVANE_HARDEN AND NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(tolvane_flags INTERFACE -fstack-protector-strong)
  if(NOT TOLVANE_SANITIZE AND NOT TOLVANE_FUZZ)
    # Needs optimisation to see object sizes; the sanitizers check more.
    target_compile_definitions(tolvane_flags INTERFACE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()
  check_linker_flag(CXX "LINKER:-z,relro,-z,now" TOLVANE_HAS_RELRO)
  if(TOLVANE_HAS_RELRO)
    target_link_options(tolvane_flags INTERFACE "LINKER:-z,relro,-z,now")
  endif()
endif()

# Optional parts: left out with a message, or, with TOLVANE_REQUIRE_ALL, a
# configuration error, so that a CI machine missing a package fails instead
# of silently skipping tests.
function(tolvane_optional_part found part reason)
  if(NOT ${found})
    if(TOLVANE_REQUIRE_ALL)
      message(FATAL_ERROR "${part} cannot be built: ${reason} (TOLVANE_REQUIRE_ALL is on)")
    endif()
    message(STATUS "Tolvane: leaving out ${part}: ${reason}")
    set_property(GLOBAL APPEND PROPERTY TOLVANE_LEFT_OUT "${part}")
  endif()
endfunction()
