# package/: package format, extraction, keystream, MD5, and the entry-name check.
tavrin_portable_sources(md5.cpp keystream.cpp unpack.cpp entryname.cpp image.cpp packbuild.cpp)
tavrin_windows_sources(extract.cpp)

if(NOT TAVRIN_WINDOWS)
  # OpenSSL's MD5 serves the tests as an independent reference.
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
endif()
tavrin_host_test(package_host_tests SOURCES
  ${CMAKE_SOURCE_DIR}/tests/host/package_md5_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/package_keystream_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/package_entryname_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/package_extract_test.cpp
  LIBS OpenSSL::Crypto)
