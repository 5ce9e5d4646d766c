# Dependencies of the Windows build (cross-compiled with MinGW-w64, see
# toolchain-mingw64.cmake):
# - CLI11 and nlohmann-json are header-only: the build machine's Debian
#   headers serve. Only their own folders are put on the include path (not
#   all of /usr/include, whose C headers would shadow MinGW's).
# - libxml2 comes from QAE_MINGW_PREFIX, where scripts/windows/build-libxml2.sh
#   cross-builds it from Debian's source package of the very version the
#   Linux build links, so both write the same QuakeML bytes.
# - GoogleTest is built here from Debian's sources (/usr/src/googletest).

set(QAE_HOST_INCLUDE_DIR /usr/include CACHE PATH
    "Where the build machine keeps the CLI11 (CLI/) and nlohmann-json (nlohmann/) headers")
set(qae_host_headers ${PROJECT_BINARY_DIR}/host-headers)
foreach(dir CLI nlohmann)
  if(NOT EXISTS ${QAE_HOST_INCLUDE_DIR}/${dir})
    message(FATAL_ERROR "${QAE_HOST_INCLUDE_DIR}/${dir} not found "
                        "(Debian: libcli11-dev, nlohmann-json3-dev)")
  endif()
  file(MAKE_DIRECTORY ${qae_host_headers})
  file(CREATE_LINK ${QAE_HOST_INCLUDE_DIR}/${dir} ${qae_host_headers}/${dir} SYMBOLIC)
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${qae_host_headers})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${qae_host_headers})

find_package(LibXml2 CONFIG REQUIRED)

if(QAE_BUILD_TESTS)
  set(QAE_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
  if(NOT EXISTS ${QAE_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "${QAE_GOOGLETEST_SOURCE_DIR} not found (Debian: googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QAE_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(GTest_FOUND TRUE)
endif()
