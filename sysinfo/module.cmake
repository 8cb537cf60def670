# sysinfo/: operating-system identification.
tavrin_portable_sources(oscode.cpp)
tavrin_windows_sources(query.cpp)

tavrin_host_test(sysinfo_host_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/host/sysinfo_test.cpp)
