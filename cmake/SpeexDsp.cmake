# Builds the sample-rate converter of speexdsp (floating point, SSE2) from its source
# package for the Windows build. Only resample.c is needed; the package's type header
# has a MinGW branch of its own, so nothing has to be configured.
set(_speexdsp ${QH_DEPS_DIR}/speexdsp)
if(NOT EXISTS ${_speexdsp}/libspeexdsp/resample.c)
  message(FATAL_ERROR "speexdsp sources missing in ${QH_DEPS_DIR}: run scripts/setup.sh")
endif()

add_library(qh_speexdsp_lib STATIC ${_speexdsp}/libspeexdsp/resample.c)
target_include_directories(qh_speexdsp_lib SYSTEM PUBLIC ${_speexdsp}/include)
target_include_directories(qh_speexdsp_lib PRIVATE ${_speexdsp}/libspeexdsp)
target_compile_definitions(qh_speexdsp_lib PRIVATE FLOATING_POINT USE_SSE USE_SSE2 EXPORT=)
target_compile_options(qh_speexdsp_lib PRIVATE -O2 -w)
