# Builds libopus (floating-point, no SIMD) from its source package for the Windows
# build. The package's own CMake files are incomplete, so the source lists are read
# from its Makefile fragments.
function(qh_opus_sources out mkfile var)
  file(READ ${mkfile} text)
  string(REGEX MATCH "${var} = \\\\\n([^=]*)" block "${text}")
  string(REGEX REPLACE "^${var} = \\\\\n" "" block "${block}")
  # The block ends before the next variable's name line.
  string(REGEX REPLACE "\n[A-Z_]+ *$" "" block "${block}")
  string(REGEX MATCHALL "[A-Za-z_/0-9]+\\.c" files "${block}")
  list(TRANSFORM files PREPEND ${QH_DEPS_DIR}/opus/)
  set(${out} ${files} PARENT_SCOPE)
endfunction()

set(_opus ${QH_DEPS_DIR}/opus)
if(NOT EXISTS ${_opus}/opus_sources.mk)
  message(FATAL_ERROR "opus sources missing in ${QH_DEPS_DIR}: run scripts/setup.sh")
endif()
qh_opus_sources(_celt ${_opus}/celt_sources.mk CELT_SOURCES)
qh_opus_sources(_silk ${_opus}/silk_sources.mk SILK_SOURCES)
qh_opus_sources(_silk_float ${_opus}/silk_sources.mk SILK_SOURCES_FLOAT)
qh_opus_sources(_opus_main ${_opus}/opus_sources.mk OPUS_SOURCES)
qh_opus_sources(_opus_float ${_opus}/opus_sources.mk OPUS_SOURCES_FLOAT)

add_library(qh_opus_lib STATIC ${_celt} ${_silk} ${_silk_float} ${_opus_main} ${_opus_float})
target_include_directories(qh_opus_lib SYSTEM PUBLIC ${_opus}/include)
target_include_directories(qh_opus_lib PRIVATE ${_opus} ${_opus}/celt ${_opus}/silk ${_opus}/silk/float)
target_compile_definitions(qh_opus_lib PRIVATE OPUS_BUILD USE_ALLOCA HAVE_LRINT HAVE_LRINTF)
target_compile_options(qh_opus_lib PRIVATE -O2 -w)
