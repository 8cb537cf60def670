# package/: the data path of the package: where the directory is read (directory), where bytes
# are unscrambled and checked (unscramble on one lane, lanes on four or eight; keystream, md5),
# where files are placed (place; folder: under a target folder), the package as a stream of
# entries that seals and checks (stream), the schedule that drives extraction from memory or from
# parts read (image), the running module's package (extract, Win32), and the directory's layout
# for sealing (seal); the entry-name check.
tavrin_portable_sources(md5.cpp keystream.cpp unscramble.cpp lanes.cpp lanes_wide.cpp entryname.cpp
                        directory.cpp place.cpp folder.cpp stream.cpp image.cpp seal.cpp bounds.cpp)
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

# libFuzzer targets (clang, sanitizer build only): package_fuzz_format, one thread and fast;
# package_fuzz_threads, the lanes on one and two threads (in memory, and over parts read) against
# the fused loop, on inputs past the lanes' 64 KB parts. A short run of each from the committed
# seeds is a test; longer runs by hand:
# bash tests/fuzz/run.sh format|threads SECONDS
if(TAVRIN_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(fuzzed ${CMAKE_SOURCE_DIR}/base/text.cpp ${CMAKE_SOURCE_DIR}/base/path.cpp)
  foreach(f md5 keystream unscramble lanes lanes_wide entryname directory place folder stream image seal)
    list(APPEND fuzzed ${CMAKE_CURRENT_LIST_DIR}/${f}.cpp)
  endforeach()
  foreach(target format threads)
    add_executable(package_fuzz_${target} ${CMAKE_SOURCE_DIR}/tests/fuzz/package_fuzz_${target}.cpp
                   ${fuzzed})
    target_include_directories(package_fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR})
    # Optimised, unlike the rest of the Debug sanitizer build: executions a second are the aim.
    target_compile_options(package_fuzz_${target} PRIVATE ${TAVRIN_WARNINGS} -O2 -fsanitize=fuzzer)
    target_link_options(package_fuzz_${target} PRIVATE -fsanitize=fuzzer)
  endforeach()
  add_test(NAME package_fuzz_format_short COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fuzz/run.sh
    format 10 -runs=20000 -seed=1)
  add_test(NAME package_fuzz_threads_short COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fuzz/run.sh
    threads 20 -runs=2000 -seed=1)
  set_tests_properties(package_fuzz_format_short package_fuzz_threads_short PROPERTIES
    ENVIRONMENT TAVRIN_FUZZ_DIR=${CMAKE_BINARY_DIR})
endif()

# Extraction benchmark (prints figures; not a test):
#   build/host/package_bench [MB]
#   bash scripts/wine-harness.sh build/win/wine run build/win/package_bench.exe [MB]
if(NOT TAVRIN_SANITIZE AND NOT TAVRIN_TSAN)
  add_executable(package_bench ${CMAKE_SOURCE_DIR}/tests/bench/package_bench.cpp)
  target_compile_options(package_bench PRIVATE ${TAVRIN_WARNINGS})
  target_link_libraries(package_bench PRIVATE tavrin_portable)
  if(TAVRIN_WINDOWS)
    target_link_options(package_bench PRIVATE ${TAVRIN_STATIC_LINK})
    target_link_libraries(package_bench PRIVATE tavrin_windows psapi)
  endif()
endif()

# The unscrambling loops are the installer's one hot path: speed over size for these files alone.
# The lanes need SSE2 (eight wide, AVX2), checked at run time before they run (image.cpp, not
# compiled for either), and an aligned stack, which 32-bit Windows does not promise.
if(TAVRIN_WINDOWS)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/unscramble.cpp PROPERTIES COMPILE_OPTIONS -O2)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/lanes.cpp PROPERTIES
    COMPILE_OPTIONS "-O2;-msse2;-mstackrealign")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/lanes_wide.cpp PROPERTIES
    COMPILE_OPTIONS "-O2;-mavx2;-mstackrealign")
else()
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/lanes_wide.cpp PROPERTIES
    COMPILE_OPTIONS -mavx2)
endif()
