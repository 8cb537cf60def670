# ui/: the window's drawing resources, painting and frame metrics.
tavrin_windows_sources(resources.cpp paint.cpp metrics.cpp)
