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

# Wine tests: the test program carries the built sample package as its own RCDATA 100; three
# resource DLLs stand in for modules whose package is missing, 2720 or 2721 bytes long.
if(TAVRIN_WINDOWS)
  set(resourceDir ${CMAKE_BINARY_DIR}/package-test-resources)
  foreach(size 2720 2721)
    add_custom_command(OUTPUT ${resourceDir}/package${size}.bin
      COMMAND ${CMAKE_COMMAND} -E make_directory ${resourceDir}
      COMMAND ${TAVRIN_PYTHON} -c "open('${resourceDir}/package${size}.bin','wb').write(b'\\xa5'*${size})"
      COMMENT "Making a ${size}-byte package resource" VERBATIM)
    file(WRITE ${resourceDir}/package${size}.rc "100 RCDATA \"${resourceDir}/package${size}.bin\"\n")
    set_source_files_properties(${resourceDir}/package${size}.rc PROPERTIES
        OBJECT_DEPENDS ${resourceDir}/package${size}.bin)
    add_library(package_res_${size} SHARED ${CMAKE_SOURCE_DIR}/sample/payload/plugin.cpp
                ${resourceDir}/package${size}.rc)
    target_link_options(package_res_${size} PRIVATE ${TAVRIN_STATIC_LINK})
  endforeach()
endif()
tavrin_win_test(package_win_tests
  SOURCES ${CMAKE_SOURCE_DIR}/tests/win/package_extract_win_test.cpp
  RESOURCES ${TAVRIN_PACKAGE_RC})
if(TAVRIN_WINDOWS)
  add_dependencies(package_win_tests tavrin_package package_res_2720 package_res_2721
                   sample_remote_LanSync)
  target_compile_definitions(package_win_tests PRIVATE
      TAVRIN_RESOLVED_MANIFEST="${CMAKE_BINARY_DIR}/payload-manifest.txt"
      TAVRIN_NO_PACKAGE_DLL="$<TARGET_FILE:sample_remote_LanSync>"
      TAVRIN_PACKAGE_2720_DLL="$<TARGET_FILE:package_res_2720>"
      TAVRIN_PACKAGE_2721_DLL="$<TARGET_FILE:package_res_2721>")
endif()
