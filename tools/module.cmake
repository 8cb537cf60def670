# tools/: the publisher's host tools. The host build exports them to host-tools.cmake, which the
# Windows build includes so that it can run them at build time.
if(NOT TAVRIN_WINDOWS)
  file(WRITE ${CMAKE_BINARY_DIR}/host-tools.cmake "# host tools: none yet\n")
elseif(TAVRIN_HOST_TOOLS)
  include(${TAVRIN_HOST_TOOLS} OPTIONAL)
endif()
