# tools/: the publisher's packing tool, packtool. The host build makes it and exports it to
# host-tools.cmake, which the Windows build includes so that it can run it at build time; the
# Windows build makes the same tool as packtool.exe (console) for publishers on Windows.
set(TAVRIN_PACKTOOL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/packtool/cli.cpp ${CMAKE_CURRENT_LIST_DIR}/packtool/pack.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packtool/unpack.cpp ${CMAKE_CURRENT_LIST_DIR}/packtool/pe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packtool/pebuild.cpp ${CMAKE_CURRENT_LIST_DIR}/packtool/hostfile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packtool/manifest.cpp $<TARGET_OBJECTS:packtool_package>)
# The host's system calls, one file per platform, under the one policy of hostfile.cpp.
if(TAVRIN_WINDOWS)
  list(APPEND TAVRIN_PACKTOOL_SOURCES ${CMAKE_CURRENT_LIST_DIR}/packtool/hostsys_win32.cpp)
else()
  list(APPEND TAVRIN_PACKTOOL_SOURCES ${CMAKE_CURRENT_LIST_DIR}/packtool/hostsys_posix.cpp)
endif()
# The package code itself, not the whole portable library (which is defined at the end), built
# with the installer's flags: the tool runs the installer's code as the installer does.
add_library(packtool_package OBJECT
  ${CMAKE_SOURCE_DIR}/package/md5.cpp ${CMAKE_SOURCE_DIR}/package/keystream.cpp
  ${CMAKE_SOURCE_DIR}/package/unscramble.cpp ${CMAKE_SOURCE_DIR}/package/lanes.cpp
  ${CMAKE_SOURCE_DIR}/package/entryname.cpp ${CMAKE_SOURCE_DIR}/package/directory.cpp
  ${CMAKE_SOURCE_DIR}/package/place.cpp ${CMAKE_SOURCE_DIR}/package/stream.cpp
  ${CMAKE_SOURCE_DIR}/package/image.cpp ${CMAKE_SOURCE_DIR}/package/seal.cpp
  ${CMAKE_SOURCE_DIR}/package/bounds.cpp ${CMAKE_SOURCE_DIR}/base/text.cpp
  ${CMAKE_SOURCE_DIR}/base/path.cpp ${CMAKE_SOURCE_DIR}/package/lanes_wide.cpp)
target_include_directories(packtool_package PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(packtool_package PRIVATE ${TAVRIN_WARNINGS} -fno-exceptions -fno-rtti)

if(NOT TAVRIN_WINDOWS)
  add_executable(packtool ${TAVRIN_PACKTOOL_SOURCES})
  target_compile_options(packtool PRIVATE ${TAVRIN_WARNINGS})
  target_include_directories(packtool PRIVATE ${CMAKE_SOURCE_DIR})
  export(TARGETS packtool FILE ${CMAKE_BINARY_DIR}/host-tools.cmake)
else()
  add_executable(packtool_exe ${TAVRIN_PACKTOOL_SOURCES})
  set_target_properties(packtool_exe PROPERTIES OUTPUT_NAME packtool)
  target_compile_options(packtool_exe PRIVATE ${TAVRIN_WARNINGS})
  target_include_directories(packtool_exe PRIVATE ${CMAKE_SOURCE_DIR})
  # Static, stripped; large-address aware, so that a 64-bit Windows gives it 4 GB for big payloads.
  target_link_options(packtool_exe PRIVATE ${TAVRIN_STATIC_LINK} -s -Wl,--large-address-aware)

  if(TAVRIN_HOST_TOOLS)
    if(NOT EXISTS ${TAVRIN_HOST_TOOLS})
      # The Windows build configured first (a fresh clone): make the host packtool now, in the
      # folder where the host build will be.
      get_filename_component(hostDir ${TAVRIN_HOST_TOOLS} DIRECTORY)
      message(STATUS "No host tools yet: building packtool in ${hostDir}")
      execute_process(COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${hostDir} -G Ninja
                              -DCMAKE_BUILD_TYPE=RelWithDebInfo
                      COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND ${CMAKE_COMMAND} --build ${hostDir} --target packtool
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()
    include(${TAVRIN_HOST_TOOLS})
  endif()
  if(NOT TARGET packtool)
    message(FATAL_ERROR "The Windows build needs the host build's packtool: set TAVRIN_HOST_TOOLS "
                        "to its host-tools.cmake (the win preset does)")
  endif()
endif()

tavrin_script_test(package_packtool_pack_list_verify_unpack_refusals HOST COMMAND bash
  ${CMAKE_SOURCE_DIR}/tests/host/package_packtool_test.sh $<TARGET_FILE:packtool>)
# libFuzzer targets (clang, sanitizer build only) over the PE reader (the path of list, and build's
# rebuild) and the manifest reader; short runs from their committed seeds are tests, longer ones
# by hand (see tests/README.md, Fuzzing).
if(TAVRIN_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  foreach(target pe manifest)
    set(fuzzDir ${CMAKE_SOURCE_DIR}/tests/fuzz)
    add_executable(packtool_${target}_fuzz ${fuzzDir}/packtool_${target}_fuzz.cpp
      ${CMAKE_CURRENT_LIST_DIR}/packtool/pe.cpp ${CMAKE_CURRENT_LIST_DIR}/packtool/pebuild.cpp
      ${CMAKE_CURRENT_LIST_DIR}/packtool/manifest.cpp ${CMAKE_SOURCE_DIR}/package/entryname.cpp
      ${CMAKE_SOURCE_DIR}/package/bounds.cpp)
    target_include_directories(packtool_${target}_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(packtool_${target}_fuzz PRIVATE ${TAVRIN_WARNINGS} -fsanitize=fuzzer)
    target_link_options(packtool_${target}_fuzz PRIVATE -fsanitize=fuzzer)
    add_test(NAME packtool_${target}_fuzz_short COMMAND bash ${fuzzDir}/run.sh ${target} 60
      -runs=20000 -seed=1)
    set_tests_properties(packtool_${target}_fuzz_short PROPERTIES ENVIRONMENT
      TAVRIN_FUZZ_DIR=${CMAKE_BINARY_DIR})
  endforeach()
endif()

# Crafted installers (moved headers, looped and shared resource trees, truncations...) through
# every command: one line and nothing written, or an output that verifies.
# A pack stopped by SIGTERM part-way and one onto a full file system leave nothing at OUTPUT.
tavrin_script_test(packtool_interrupted_or_full_disk_leaves_nothing HOST COMMAND bash
  ${CMAKE_SOURCE_DIR}/tests/host/packtool_interrupt_test.sh $<TARGET_FILE:packtool>)
# pack, list, verify and unpack of a 100 MB payload within 64 MB of memory; verify and unpack
# agree on a damaged package, and unpack leaves no file of a damaged entry.
tavrin_script_test(packtool_streams_large_payloads HOST COMMAND bash
  ${CMAKE_SOURCE_DIR}/tests/host/packtool_stream_test.sh $<TARGET_FILE:packtool>)
tavrin_script_test(packtool_crafted_installers_refused_or_rebuilt HOST COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_SOURCE_DIR}/tests/host/packtool_crafted_test.py $<TARGET_FILE:packtool>)
# Entries that share bytes: verify and unpack, reading in blocks, see each entry as the
# installer's in-memory extraction does (earlier entries unscrambled in place).
tavrin_script_test(packtool_overlapping_entries_as_the_installer HOST COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_SOURCE_DIR}/tests/host/packtool_overlap_test.py $<TARGET_FILE:packtool>)
if(TAVRIN_WINDOWS)
  tavrin_script_test(packtool_exe_creates_outputs_new COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/packtool_exe_outputs.sh $<TARGET_FILE:packtool_exe>
    $<TARGET_FILE:TavrinSoloSetup> $<TARGET_FILE:packtool>)
  tavrin_script_test(packtool_build_interrupted_or_full_disk_leaves_nothing COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/host/packtool_interrupt_test.sh $<TARGET_FILE:packtool>
    $<TARGET_FILE:TavrinSoloSetup>)
  tavrin_script_test(package_packtool_reads_the_built_installer COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/package_list_installer.sh $<TARGET_FILE:packtool>
    $<TARGET_FILE:TavrinSoloSetup> ${CMAKE_BINARY_DIR}/TavrinSoloPackage.bin
    $<TARGET_FILE:TavrinSolo>)
endif()
# packtool build end to end, signing, packtool.exe under Wine, and every refusal (it installs and
# removes under Wine, so it holds the prefix).
if(TAVRIN_WINDOWS)
  tavrin_script_test(packtool_build_sign_and_refusals COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/packtool_build.sh $<TARGET_FILE:TavrinSoloSetup>
    $<TARGET_FILE:packtool> $<TARGET_FILE:tavrin_linked_setup> $<TARGET_FILE:packtool_exe>
    $<TARGET_FILE:TavrinSolo> ${TAVRIN_PYTHON} LOCK)
endif()
