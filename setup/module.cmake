# setup/: (sources are added as the module grows)
# Folders, shortcuts, registry records (fold):
tavrin_portable_sources(paths.cpp)
tavrin_windows_sources(folders.cpp shortcuts.cpp registry.cpp)
tavrin_host_test(setup_paths_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/host/setup_paths_test.cpp)
tavrin_win_test(setup_folders_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/setup_folders_test.cpp)
tavrin_win_test(setup_registry_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/setup_registry_test.cpp
  LOCK)
if(TAVRIN_WINDOWS)
  # A stand-in for a planted DLL, copied by setup_folders_tests into a folder of its own.
  add_library(setup_planted_dll SHARED ${CMAKE_SOURCE_DIR}/tests/win/setup_planted_dll.cpp)
  set_target_properties(setup_planted_dll PROPERTIES PREFIX "")
  target_link_options(setup_planted_dll PRIVATE ${TAVRIN_STATIC_LINK} -Wl,--kill-at)
  add_dependencies(setup_folders_tests setup_planted_dll)
  # Writes and deletes links for the lnkinfo script test.
  add_executable(setup_shortcut_tool ${CMAKE_SOURCE_DIR}/tests/win/setup_shortcut_tool.cpp)
  target_compile_options(setup_shortcut_tool PRIVATE ${TAVRIN_WARNINGS})
  target_link_options(setup_shortcut_tool PRIVATE ${TAVRIN_STATIC_LINK})
  target_link_libraries(setup_shortcut_tool PRIVATE tavrin_windows)
endif()
tavrin_win_test(setup_shortcuts_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/setup_shortcuts_test.cpp)
tavrin_script_test(setup_shortcuts_read_back_with_lnkinfo COMMAND bash
  ${CMAKE_SOURCE_DIR}/tests/win/setup_shortcuts_lnkinfo.sh $<TARGET_FILE:setup_shortcut_tool>)
# Install and uninstall procedures (proc):
tavrin_portable_sources(delname.cpp)
tavrin_windows_sources(install.cpp uninstall.cpp)
tavrin_host_test(procedures_host_tests SOURCES
  ${CMAKE_SOURCE_DIR}/tests/host/procedures_delname_test.cpp)
tavrin_win_test(procedures_folder_tests SOURCES
  ${CMAKE_SOURCE_DIR}/tests/win/procedures_folder_test.cpp)
# LOCK: it adds a drive letter to the prefix for the length of the test.
tavrin_script_test(procedures_links_never_followed COMMAND bash
  ${CMAKE_SOURCE_DIR}/tests/win/procedures_links.sh $<TARGET_FILE:procedures_folder_tests> LOCK)
if(TAVRIN_PACKAGE_RC)
  # End to end with the sample package embedded in the test program; they share the prefix's
  # Program Files, Start menu and registry.
  tavrin_win_test(procedures_install_tests SOURCES
    ${CMAKE_SOURCE_DIR}/tests/win/procedures_install_test.cpp RESOURCES ${TAVRIN_PACKAGE_RC} LOCK)
  tavrin_script_test(procedures_install_read_back_by_host_tools COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/procedures_install_host.sh
    $<TARGET_FILE:procedures_install_tests> LOCK)
  if(TAVRIN_WINDOWS)
    add_dependencies(procedures_install_tests tavrin_package)
  endif()
  # inotify on the prefix's folders: the order of files, links, copy and record.
  tavrin_script_test(procedures_install_order COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/procedures_order.sh $<TARGET_FILE:procedures_install_tests> LOCK)
  tavrin_script_test(procedures_install_on_full_disk COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/procedures_full_disk.sh $<TARGET_FILE:procedures_install_tests>
    LOCK)
  # Without the right to mount a tmpfs the script exits 77, which CTest shows as a skip.
  if(TAVRIN_WINDOWS)
    set_tests_properties(procedures_install_on_full_disk PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endif()
