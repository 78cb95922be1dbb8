# The package a person copies to a Windows PC (Windows build only), as a zip made by
# CPack: the product executable, stripped, beside the assets folder that the control
# window looks for in its working directory, and the licence texts of everything linked
# into it. The stand-in encoder runtimes, the stand-in host and the tests stay out.
#
#   cmake --build --preset windows --target package
#       -> build/windows/package/QuorvaneHost-<version>-win64.zip
#       CMake's package target builds the default target first: everything that the
#       windows preset builds (stand-ins, tests and benchmarks too), then packs the files
#       installed below.
#   cmake --install build/windows --prefix <folder> --strip
#       -> the same files in <folder>

install(FILES ${CMAKE_SOURCE_DIR}/host/assets/logo.png DESTINATION assets)

# Licence texts, one file per library, taken from the Debian packages (for the libraries
# built here: the source packages) that the code and the MinGW-w64 runtime come from.
set(_qh_license_dir ${CMAKE_BINARY_DIR}/licenses)
file(MAKE_DIRECTORY ${_qh_license_dir})

function(qh_package_license name file)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${file} is missing: run scripts/setup.sh")
  endif()
  install(FILES ${file} DESTINATION licenses RENAME ${name}.txt)
endfunction()

qh_package_license(dear-imgui ${QH_DEPS_DIR}/imgui/debian/copyright)
qh_package_license(opus ${QH_DEPS_DIR}/opus/debian/copyright)
qh_package_license(speexdsp ${QH_DEPS_DIR}/speexdsp/debian/copyright)
qh_package_license(spdlog /usr/share/doc/libspdlog-dev/copyright)
qh_package_license(fmt /usr/share/doc/libfmt-dev/copyright)
qh_package_license(nlohmann-json /usr/share/doc/nlohmann-json3-dev/copyright)
qh_package_license(stb /usr/share/doc/libstb-dev/copyright)
qh_package_license(nv-codec-headers /usr/share/doc/libffmpeg-nvenc-dev/copyright)
# libstdc++ and libgcc (GPL 3 with the GCC Runtime Library Exception), and the MinGW-w64
# C runtime and winpthreads, all linked statically.
qh_package_license(gcc-runtime /usr/share/doc/g++-mingw-w64-x86-64-posix/copyright)
qh_package_license(GPL-3 /usr/share/common-licenses/GPL-3)
qh_package_license(mingw-w64-runtime /usr/share/doc/mingw-w64-x86-64-dev/copyright)

# Boost's copyright file lists every file of Boost (2 MB); the headers used here (Asio,
# Beast and what they include) are all under the Boost Software License, whose text is
# the stanza kept from it.
set(_boost_copyright /usr/share/doc/libboost1.74-dev/copyright)
if(NOT EXISTS ${_boost_copyright})
  message(FATAL_ERROR "${_boost_copyright} is missing: run scripts/setup.sh")
endif()
file(READ ${_boost_copyright} _boost_text)
string(FIND "${_boost_text}" "\n\nLicense: BSL-1.0\n" _bsl_begin)
if(_bsl_begin LESS 0)
  message(FATAL_ERROR "no Boost Software License text in ${_boost_copyright}")
endif()
math(EXPR _bsl_begin "${_bsl_begin} + 2")
string(SUBSTRING "${_boost_text}" ${_bsl_begin} -1 _bsl)
string(FIND "${_bsl}" "\n\n" _bsl_end)
string(SUBSTRING "${_bsl}" 0 ${_bsl_end} _bsl)
file(WRITE ${_qh_license_dir}/boost.txt
     "Upstream-Name: Boost (Asio, Beast and the Boost headers they use)\n"
     "Source: Debian's libboost1.74-dev (${_boost_copyright})\n"
     "Copyright: Boost project contributors\n\n${_bsl}\n")
install(FILES ${_qh_license_dir}/boost.txt DESTINATION licenses)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME QuorvaneHost)
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGE_FILE_NAME QuorvaneHost-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
