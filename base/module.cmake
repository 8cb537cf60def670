# base/: what every other folder stands on: the context record and the worker's hand-over, words
# shared between threads and starting a thread, the command-line flags, bounded text helpers,
# product constants, system-DLL loading.
tavrin_portable_sources(text.cpp path.cpp cmdline.cpp)
tavrin_windows_sources(context.cpp activity.cpp codepage.cpp dllsearch.cpp thread.cpp)

tavrin_host_test(base_host_tests SOURCES
  ${CMAKE_SOURCE_DIR}/tests/host/text_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/cmdline_test.cpp)
tavrin_win_test(base_win_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/context_test.cpp)
