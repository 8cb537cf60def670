# setup/: (sources are added as the module grows)
# Folders, shortcuts, registry records (fold):
tavrin_portable_sources(paths.cpp)
tavrin_windows_sources(dllsearch.cpp folders.cpp shortcuts.cpp registry.cpp)
tavrin_host_test(setup_paths_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/host/setup_paths_test.cpp)
# Install and uninstall procedures (proc):
tavrin_portable_sources(delname.cpp)
tavrin_windows_sources(activity.cpp install.cpp uninstall.cpp)
tavrin_host_test(procedures_host_tests SOURCES
  ${CMAKE_SOURCE_DIR}/tests/host/procedures_delname_test.cpp)
