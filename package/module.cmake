# package/: package format, extraction, keystream, MD5, and the entry-name check.
tavrin_portable_sources(md5.cpp keystream.cpp unpack.cpp lanes.cpp entryname.cpp image.cpp
                        packbuild.cpp bounds.cpp)
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

# tavrin_package_dll(NAME FILE): a DLL whose only resource is FILE as RCDATA 100. A test loads it
# and puts its handle into installerContext.instanceHandle to run ReadPackageDirectory and
# ExtractPackage on a package of its own making.
function(tavrin_package_dll name file)
  if(NOT TAVRIN_WINDOWS)
    return()
  endif()
  set(rc ${CMAKE_BINARY_DIR}/package-dlls/${name}.rc)
  file(WRITE ${rc} "100 RCDATA \"${file}\"\n")
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${file})
  add_library(${name} SHARED ${CMAKE_SOURCE_DIR}/sample/payload/plugin.cpp ${rc})
  target_link_options(${name} PRIVATE ${TAVRIN_STATIC_LINK})
endfunction()

# Wine tests: the test program carries the built sample package as its own RCDATA 100; resource
# DLLs stand in for modules whose package is missing, 2720 or 2721 bytes long.
if(TAVRIN_WINDOWS)
  set(resourceDir ${CMAKE_BINARY_DIR}/package-test-resources)
  foreach(size 2720 2721)
    add_custom_command(OUTPUT ${resourceDir}/package${size}.bin
      COMMAND ${CMAKE_COMMAND} -E make_directory ${resourceDir}
      COMMAND ${TAVRIN_PYTHON} -c "open('${resourceDir}/package${size}.bin','wb').write(b'\\xa5'*${size})"
      COMMENT "Making a ${size}-byte package resource" VERBATIM)
    tavrin_package_dll(package_res_${size} ${resourceDir}/package${size}.bin)
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

# Unscrambling in place needs the package in a writable (copy-on-write) section.
tavrin_script_test(package_resource_in_writable_section COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_SOURCE_DIR}/tests/win/package_resource_view.py
  $<TARGET_FILE:TavrinSoloSetup> ${TAVRIN_PACKAGE_FILE})
tavrin_script_test(package_resource_check_refuses_damaged_copies COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_SOURCE_DIR}/tests/win/package_resource_view.py --self-test
  $<TARGET_FILE:TavrinSoloSetup> ${TAVRIN_PACKAGE_FILE})

# libFuzzer target (clang, sanitizer build only); a short run from the committed seeds is a
# test, longer runs by hand: bash tests/fuzz/run.sh SECONDS
if(TAVRIN_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(package_fuzz ${CMAKE_SOURCE_DIR}/tests/fuzz/package_fuzz.cpp
    ${CMAKE_CURRENT_LIST_DIR}/md5.cpp ${CMAKE_CURRENT_LIST_DIR}/keystream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unpack.cpp ${CMAKE_CURRENT_LIST_DIR}/lanes.cpp
    ${CMAKE_CURRENT_LIST_DIR}/entryname.cpp
    ${CMAKE_CURRENT_LIST_DIR}/image.cpp ${CMAKE_CURRENT_LIST_DIR}/packbuild.cpp
    ${CMAKE_SOURCE_DIR}/base/text.cpp)
  target_include_directories(package_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(package_fuzz PRIVATE ${TAVRIN_WARNINGS} -fsanitize=fuzzer)
  target_link_options(package_fuzz PRIVATE -fsanitize=fuzzer)
  add_test(NAME package_fuzz_short COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fuzz/run.sh 300
    -runs=3000 -seed=1 -max_len=20000)
  set_tests_properties(package_fuzz_short PROPERTIES ENVIRONMENT FUZZER=$<TARGET_FILE:package_fuzz>)
endif()

# Extraction benchmark (prints figures; not a test):
#   build/host/package_bench [MB]
#   bash scripts/wine-harness.sh build/win/wine run build/win/package_bench.exe [MB]
if(NOT TAVRIN_SANITIZE)
  add_executable(package_bench ${CMAKE_SOURCE_DIR}/tests/bench/package_bench.cpp)
  target_compile_options(package_bench PRIVATE ${TAVRIN_WARNINGS})
  target_link_libraries(package_bench PRIVATE tavrin_portable)
  if(TAVRIN_WINDOWS)
    target_link_options(package_bench PRIVATE ${TAVRIN_STATIC_LINK})
    target_link_libraries(package_bench PRIVATE psapi)
  endif()
endif()

# The unpacking loops are the installer's one hot path: speed over size for these files alone.
# The lanes need SSE2, checked at run time before they run, and a 16-byte aligned stack, which
# 32-bit Windows does not promise.
if(TAVRIN_WINDOWS)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/unpack.cpp PROPERTIES COMPILE_OPTIONS -O2)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/lanes.cpp PROPERTIES
    COMPILE_OPTIONS "-O2;-msse2;-mstackrealign")
endif()
