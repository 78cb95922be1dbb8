# Options shared by every target of the project, through the interface target qh_options.
add_library(qh_options INTERFACE)

target_compile_options(qh_options INTERFACE -Wall -Wextra)

# Boost 1.74's coroutine support does not build under C++20 (awaitable.hpp uses
# std::exchange without including <utility>). Nothing here uses coroutines.
target_compile_definitions(qh_options INTERFACE BOOST_ASIO_DISABLE_CO_AWAIT BOOST_ASIO_NO_DEPRECATED)

if(WIN32)
  target_compile_definitions(qh_options INTERFACE
    _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000007
    WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
  # Self-contained executables: no MinGW runtime DLLs beside them.
  target_link_options(qh_options INTERFACE -static -static-libgcc -static-libstdc++)
  # Large translation units (Beast, spdlog) exceed the COFF section limit otherwise.
  target_compile_options(qh_options INTERFACE -Wa,-mbig-obj)
endif()

if(QH_SANITIZE)
  list(JOIN QH_SANITIZE "," _qh_san)
  target_compile_options(qh_options INTERFACE -fsanitize=${_qh_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(qh_options INTERFACE -fsanitize=${_qh_san})
  if("thread" IN_LIST QH_SANITIZE)
    # Asio's handler fences (atomic_thread_fence) are not modelled by ThreadSanitizer; the
    # scheduler's own locks give the same ordering, so the warning is noise.
    target_compile_options(qh_options INTERFACE -Wno-tsan)
  endif()
endif()

if(QH_FUZZ)
  # Coverage instrumentation for every library the fuzz targets link, not only their own
  # sources; the targets themselves add the fuzzer's main.
  target_compile_options(qh_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  target_link_options(qh_options INTERFACE -fsanitize=address,undefined)
endif()
