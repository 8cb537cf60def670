# app/: the program: entry point and message loop, window and controller, web links, the
# running-application check and the click rules.
tavrin_portable_sources(webaddress.cpp rules.cpp)
tavrin_windows_sources(window.cpp controller.cpp weblink.cpp running.cpp)

# TavrinSoloSetup.exe is made as a publisher makes it: the program is linked once with a
# placeholder package (linked/TavrinSoloSetup-linked.exe), then `packtool build` embeds the payload.
# A new payload manifest re-runs only that step. The target `installer` builds it;
# $<TARGET_FILE:TavrinSoloSetup> names the finished file.
if(TAVRIN_WINDOWS)
  add_executable(tavrin_linked_setup WIN32 ${CMAKE_CURRENT_LIST_DIR}/main.cpp
    ${CMAKE_SOURCE_DIR}/resources/placeholder.rc)
  set_target_properties(tavrin_linked_setup PROPERTIES OUTPUT_NAME TavrinSoloSetup-linked
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/linked)
  target_compile_options(tavrin_linked_setup PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
  target_link_options(tavrin_linked_setup PRIVATE ${TAVRIN_STATIC_LINK} -Wl,--gc-sections -s)
  if(NOT TAVRIN_COVERAGE)
    # Started at InstallerEntry (main.cpp) without the C runtime's start-up files; with
    # auto-import off, data imported from a DLL without its declaration fails the link instead
    # of needing the run-time relocations that start-up would have applied, and startup.ld
    # fails it on any initialiser that start-up would have run.
    target_link_options(tavrin_linked_setup PRIVATE -nostartfiles -Wl,-e,_InstallerEntry
      -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
      ${CMAKE_CURRENT_LIST_DIR}/startup.ld)
    set_target_properties(tavrin_linked_setup PROPERTIES
      LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/startup.ld)
  endif()
  target_link_libraries(tavrin_linked_setup PRIVATE tavrin_windows)

  set(TAVRIN_INSTALLER ${CMAKE_BINARY_DIR}/TavrinSoloSetup.exe)
  # The target depends on a stamp: a DEPENDS naming the file itself would be taken for the
  # imported target below, and the command would never run.
  set(stamp ${CMAKE_BINARY_DIR}/linked/embedded.stamp)
  add_custom_command(OUTPUT ${TAVRIN_INSTALLER} ${stamp}
    COMMAND packtool build $<TARGET_FILE:tavrin_linked_setup> ${TAVRIN_RESOLVED_MANIFEST}
            ${TAVRIN_INSTALLER}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS tavrin_linked_setup $<TARGET_FILE:tavrin_linked_setup> ${TAVRIN_PAYLOAD_DEPENDS}
            $<TARGET_FILE:packtool>
    COMMENT "Embedding the payload of ${TAVRIN_PAYLOAD_MANIFEST}")
  add_custom_target(installer ALL DEPENDS ${stamp})
  add_executable(TavrinSoloSetup IMPORTED GLOBAL)
  set_target_properties(TavrinSoloSetup PROPERTIES IMPORTED_LOCATION ${TAVRIN_INSTALLER})
endif()

tavrin_host_test(app_host_tests SOURCES
  ${CMAKE_SOURCE_DIR}/tests/host/app_webaddress_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/app_rules_test.cpp)
# The window procedure in-process, with the installer's resources (picture, icon).
tavrin_win_test(app_window_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/app_window_test.cpp
  RESOURCES ${CMAKE_SOURCE_DIR}/resources/installer.rc LOCK)
if(TAVRIN_WINDOWS)
  add_dependencies(app_window_tests tavrin_art)
endif()

# The installer as a whole, under Wine: window and clicks under Xvfb (checked on screenshots),
# unattended runs, one installer at a time, closing a running application; its size and
# reproducible bytes.
if(TAVRIN_WINDOWS)
  add_executable(app_titled_window WIN32 ${CMAKE_SOURCE_DIR}/tests/win/app_titled_window.cpp)
  target_compile_options(app_titled_window PRIVATE ${TAVRIN_WARNINGS})
  target_link_options(app_titled_window PRIVATE ${TAVRIN_STATIC_LINK})
endif()
set(TAVRIN_GUI ${CMAKE_SOURCE_DIR}/tests/gui)
tavrin_script_test(app_window_install_by_click COMMAND bash ${TAVRIN_GUI}/app_window_install.sh
  $<TARGET_FILE:TavrinSoloSetup> $<TARGET_FILE:packtool> LOCK)
tavrin_script_test(app_window_remove_by_click COMMAND bash ${TAVRIN_GUI}/app_window_remove.sh
  $<TARGET_FILE:TavrinSoloSetup> LOCK)
tavrin_script_test(app_unattended_runs_and_exit_codes COMMAND bash ${TAVRIN_GUI}/app_unattended.sh
  $<TARGET_FILE:TavrinSoloSetup> $<TARGET_FILE:procedures_folder_tests> LOCK)
tavrin_script_test(app_planted_dlls_never_run COMMAND bash ${TAVRIN_GUI}/app_planted_dlls.sh
  $<TARGET_FILE:TavrinSoloSetup> $<TARGET_FILE:setup_planted_dll> $<TARGET_FILE:sysinfo_print> LOCK)
tavrin_script_test(app_second_installer_refused COMMAND bash ${TAVRIN_GUI}/app_single_instance.sh
  $<TARGET_FILE:TavrinSoloSetup> LOCK)
tavrin_script_test(app_closes_only_exact_title COMMAND bash ${TAVRIN_GUI}/app_close_running.sh
  $<TARGET_FILE:TavrinSoloSetup> $<TARGET_FILE:TavrinSolo> $<TARGET_FILE:app_titled_window> LOCK)
# Under the code pages 932, 936 and 1250, each in a prefix of its own (no shared lock).
foreach(codepage 932 936 1250)
  tavrin_script_test(app_codepage_${codepage}_paths COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/codepage_paths.sh ${codepage} $<TARGET_FILE:TavrinSoloSetup>
    $<TARGET_FILE:sysinfo_print> $<TARGET_FILE:packtool_exe> $<TARGET_FILE:packtool>)
endforeach()
tavrin_script_test(app_own_size_within_budget COMMAND ${TAVRIN_PYTHON} ${TAVRIN_GUI}/app_size.py
  $<TARGET_FILE:TavrinSoloSetup>)
tavrin_script_test(app_build_reproducible COMMAND bash ${TAVRIN_GUI}/app_reproducible.sh
  $<TARGET_FILE:TavrinSoloSetup>)
