# Locates the BLAKE3 reference C implementation and exposes it as the target
# `blake3::blake3`.
#
# Preference order:
#   1. an installed libblake3 that pkg-config knows about;
#   2. the reference C sources that Debian's librust-blake3-dev ships under
#      /usr/share/cargo/registry/blake3-*/c/, compiled here (portable code,
#      runtime dispatch and the x86-64 unix assembly kernels).
# When neither is present, configuration stops and names the package to install.

if(TARGET blake3::blake3)
  return()
endif()

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PC_BLAKE3 QUIET IMPORTED_TARGET libblake3)
endif()

if(PC_BLAKE3_FOUND)
  add_library(blake3::blake3 ALIAS PkgConfig::PC_BLAKE3)
  set(Blake3_FOUND TRUE)
  message(STATUS "BLAKE3: using installed libblake3 ${PC_BLAKE3_VERSION}")
  return()
endif()

set(BLAKE3_SOURCE_DIR "" CACHE PATH "Directory holding the BLAKE3 reference C sources (blake3.c, blake3_dispatch.c, ...)")
if(NOT BLAKE3_SOURCE_DIR)
  file(GLOB _blake3_candidates LIST_DIRECTORIES true "/usr/share/cargo/registry/blake3-*/c")
  list(SORT _blake3_candidates COMPARE NATURAL ORDER DESCENDING)
  foreach(_dir IN LISTS _blake3_candidates)
    if(EXISTS "${_dir}/blake3.c" AND EXISTS "${_dir}/blake3_dispatch.c")
      set(BLAKE3_SOURCE_DIR "${_dir}" CACHE PATH "" FORCE)
      break()
    endif()
  endforeach()
endif()

if(NOT BLAKE3_SOURCE_DIR OR NOT EXISTS "${BLAKE3_SOURCE_DIR}/blake3.c")
  message(FATAL_ERROR
    "BLAKE3 not found: install the Debian package librust-blake3-dev "
    "(apt-get install librust-blake3-dev), which ships the reference C sources, "
    "or a libblake3 that pkg-config can find.")
endif()

enable_language(C ASM)
set(_blake3_sources
  "${BLAKE3_SOURCE_DIR}/blake3.c"
  "${BLAKE3_SOURCE_DIR}/blake3_dispatch.c"
  "${BLAKE3_SOURCE_DIR}/blake3_portable.c")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64" AND NOT WIN32)
  foreach(_kernel sse2 sse41 avx2 avx512)
    list(APPEND _blake3_sources "${BLAKE3_SOURCE_DIR}/blake3_${_kernel}_x86-64_unix.S")
  endforeach()
  set(_blake3_defs "")
else()
  set(_blake3_defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()

add_library(quillon_blake3 STATIC ${_blake3_sources})
set_target_properties(quillon_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
target_compile_definitions(quillon_blake3 PRIVATE ${_blake3_defs})
target_include_directories(quillon_blake3 SYSTEM PUBLIC "${BLAKE3_SOURCE_DIR}")
add_library(blake3::blake3 ALIAS quillon_blake3)
set(Blake3_FOUND TRUE)
message(STATUS "BLAKE3: compiling reference sources from ${BLAKE3_SOURCE_DIR}")
