# Third-party code, all of it from the distribution's packages.
#
# qh_thirdparty  header-only libraries: Boost (Asio, Beast), nlohmann/json, spdlog, fmt, stb
# qh_opus        libopus
# qh_speexdsp    the sample-rate converter of speexdsp
# qh_nvenc_headers  the NVENC API headers
# qh_imgui       Dear ImGui with its Win32 and Direct3D 11 backends (Windows only)
# GTest::gtest / GTest::gtest_main / GTest::gmock

add_library(qh_thirdparty INTERFACE)
# Every component logs with its source location through the SPDLOG_* macros; keep all levels.
target_compile_definitions(qh_thirdparty INTERFACE SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY SPDLOG_ACTIVE_LEVEL=SPDLOG_LEVEL_TRACE)
add_library(qh_nvenc_headers INTERFACE)

if(WIN32)
  # The cross compiler must see only these folders of the host's /usr/include.
  set(QH_STAGED_INCLUDE ${CMAKE_BINARY_DIR}/staged-include)
  file(MAKE_DIRECTORY ${QH_STAGED_INCLUDE})
  foreach(dir boost nlohmann spdlog fmt stb ffnvcodec)
    if(NOT EXISTS /usr/include/${dir})
      message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/setup.sh")
    endif()
    file(CREATE_LINK /usr/include/${dir} ${QH_STAGED_INCLUDE}/${dir} SYMBOLIC)
  endforeach()
  target_include_directories(qh_thirdparty SYSTEM INTERFACE ${QH_STAGED_INCLUDE} ${QH_STAGED_INCLUDE}/stb)
  target_include_directories(qh_nvenc_headers SYSTEM INTERFACE ${QH_STAGED_INCLUDE}/ffnvcodec)
  target_link_libraries(qh_thirdparty INTERFACE ws2_32 mswsock)

  # libopus from its source package.
  include(Opus)
  add_library(qh_opus INTERFACE)
  target_link_libraries(qh_opus INTERFACE qh_opus_lib)

  # speexdsp's resampler from its source package.
  include(SpeexDsp)
  add_library(qh_speexdsp INTERFACE)
  target_link_libraries(qh_speexdsp INTERFACE qh_speexdsp_lib)

  # Dear ImGui from its source package.
  set(_imgui ${QH_DEPS_DIR}/imgui)
  if(NOT EXISTS ${_imgui}/imgui.cpp)
    message(FATAL_ERROR "imgui sources missing in ${QH_DEPS_DIR}: run scripts/setup.sh")
  endif()
  add_library(qh_imgui STATIC
    ${_imgui}/imgui.cpp ${_imgui}/imgui_draw.cpp ${_imgui}/imgui_tables.cpp
    ${_imgui}/imgui_widgets.cpp ${_imgui}/imgui_demo.cpp
    ${_imgui}/backends/imgui_impl_win32.cpp ${_imgui}/backends/imgui_impl_dx11.cpp)
  target_include_directories(qh_imgui SYSTEM PUBLIC ${_imgui} ${_imgui}/backends)
  target_link_libraries(qh_imgui PUBLIC d3d11 d3dcompiler dxgi dwmapi imm32 gdi32)
  target_compile_definitions(qh_imgui PRIVATE UNICODE _UNICODE)
  target_compile_options(qh_imgui PRIVATE -w)

  # GoogleTest from the distribution's sources, built with the cross compiler.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(Threads REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
  add_library(qh_opus INTERFACE)
  target_link_libraries(qh_opus INTERFACE PkgConfig::OPUS)
  pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)
  add_library(qh_speexdsp INTERFACE)
  target_link_libraries(qh_speexdsp INTERFACE PkgConfig::SPEEXDSP)
  target_include_directories(qh_thirdparty SYSTEM INTERFACE /usr/include/stb)
  target_include_directories(qh_nvenc_headers SYSTEM INTERFACE /usr/include/ffnvcodec)
  target_link_libraries(qh_thirdparty INTERFACE Threads::Threads)
  find_package(GTest REQUIRED)
  find_package(benchmark QUIET)
endif()
