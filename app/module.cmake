# app/: context, command line, entry point, window and controller.
tavrin_portable_sources(text.cpp cmdline.cpp webaddress.cpp rules.cpp)
tavrin_windows_sources(context.cpp window.cpp controller.cpp weblink.cpp running.cpp)

if(TAVRIN_WINDOWS)
  add_executable(TavrinSoloSetup WIN32 ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
  target_compile_options(TavrinSoloSetup PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
  target_link_options(TavrinSoloSetup PRIVATE ${TAVRIN_STATIC_LINK} -Wl,--gc-sections -s)
  target_link_libraries(TavrinSoloSetup PRIVATE tavrin_windows)
  target_sources(TavrinSoloSetup PRIVATE ${TAVRIN_PACKAGE_RC})
  add_dependencies(TavrinSoloSetup tavrin_package)
endif()

tavrin_host_test(app_host_tests SOURCES
  ${CMAKE_SOURCE_DIR}/tests/host/text_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/cmdline_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/app_webaddress_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/host/app_rules_test.cpp)
tavrin_win_test(app_win_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/context_test.cpp)
