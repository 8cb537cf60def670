# ui/: the window's drawing resources, painting and frame metrics.
tavrin_windows_sources(resources.cpp paint.cpp metrics.cpp)

# Painting into memory bitmaps, and loading against the prefix (which the lock keeps to itself,
# since it plants the application's executable in the target folder).
set(TAVRIN_UI_RC ${CMAKE_SOURCE_DIR}/resources/installer.rc)
tavrin_win_test(ui_paint_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/ui_paint_test.cpp
  RESOURCES ${TAVRIN_UI_RC})
tavrin_win_test(ui_resources_tests SOURCES ${CMAKE_SOURCE_DIR}/tests/win/ui_resources_test.cpp
  RESOURCES ${TAVRIN_UI_RC} LOCK)
