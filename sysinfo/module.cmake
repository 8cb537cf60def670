# sysinfo/: operating-system identification.
tavrin_portable_sources(oscode.cpp)
tavrin_windows_sources(query.cpp)

tavrin_host_test(sysinfo_host_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/host/sysinfo_test.cpp)

if(TAVRIN_WINDOWS)
  # Carries the installer's resources, so that Windows sees the same manifest.
  add_executable(sysinfo_print ${CMAKE_SOURCE_DIR}/tests/win/sysinfo_print.cpp
    ${CMAKE_SOURCE_DIR}/resources/installer.rc)
  target_compile_options(sysinfo_print PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${TAVRIN_WARNINGS}>)
  target_link_options(sysinfo_print PRIVATE ${TAVRIN_STATIC_LINK})
  target_link_libraries(sysinfo_print PRIVATE tavrin_windows)
endif()
tavrin_script_test(sysinfo_line_follows_prefix_version COMMAND bash
  ${CMAKE_SOURCE_DIR}/tests/win/sysinfo_prefix_versions.sh $<TARGET_FILE:sysinfo_print> LOCK)
tavrin_win_test(sysinfo_win_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/sysinfo_test.cpp)
