# What a Windows build adds to the targets: the version resource and the
# application manifest, the system library that reads the version, the
# executable's name Mailvane.exe, and, with MSVC, the options that let
# processor faults unwind as C++ exceptions.

enable_language(RC)

configure_file(${PROJECT_SOURCE_DIR}/cmake/mailvane_version.h.in
  ${PROJECT_BINARY_DIR}/generated/mailvane_version.h @ONLY)
# The resource scripts include the generated version header. The record and
# the manifest are linked into the test binary too, which reads its own copy
# of the record and so runs with the program's code page.
set(MAILVANE_VERSION_RESOURCE ${PROJECT_SOURCE_DIR}/src/driver/mailvane.rc)
# The resource script takes the manifest in as data: a change to it must
# rebuild the script's object too.
set_source_files_properties(${MAILVANE_VERSION_RESOURCE} PROPERTIES
  OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/src/driver/mailvane.manifest)
target_include_directories(mailvane_core PUBLIC ${PROJECT_BINARY_DIR}/generated)

target_sources(mailvane PRIVATE ${MAILVANE_VERSION_RESOURCE})
set_target_properties(mailvane PROPERTIES OUTPUT_NAME Mailvane)
# VerQueryValueW.
target_link_libraries(mailvane_core PUBLIC version)
# <windows.h> must not define min and max over std::min and std::max.
target_compile_definitions(mailvane_core PUBLIC NOMINMAX)

if(MSVC)
  # /EHa: _set_se_translator turns faults into exceptions only then.
  string(REPLACE "/EHsc" "" CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS}")
  target_compile_options(mailvane_core PUBLIC /EHa /utf-8)
  target_compile_options(mailvane_core PRIVATE /W4)
  # The manifest comes from mailvane.rc; the linker's own would be a second
  # resource of the same id.
  target_link_options(mailvane PRIVATE /MANIFEST:NO)
  # Boost.Regex is used header-only: no library to link automatically.
  target_compile_definitions(mailvane_core PUBLIC _CRT_SECURE_NO_WARNINGS BOOST_ALL_NO_LIB)
endif()

if(MINGW AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 warns of an overlapping memcpy inside std::string's own insert
  # and replace at -O2: a false alarm of the compiler's, not of this code.
  target_compile_options(mailvane_core PRIVATE -Wno-restrict)
endif()
