# tools/: the publisher's host tools. The host build exports them to host-tools.cmake, which the
# Windows build includes so that it can run them at build time.
if(NOT TAVRIN_WINDOWS)
  add_executable(packtool ${CMAKE_CURRENT_LIST_DIR}/packtool/packtool.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/packtool/pe.cpp)
  target_compile_options(packtool PRIVATE ${TAVRIN_WARNINGS})
  target_include_directories(packtool PRIVATE ${CMAKE_SOURCE_DIR})
  # The package code itself, not the whole portable library (which is defined at the end).
  target_sources(packtool PRIVATE
    ${CMAKE_SOURCE_DIR}/package/md5.cpp ${CMAKE_SOURCE_DIR}/package/keystream.cpp
    ${CMAKE_SOURCE_DIR}/package/unpack.cpp ${CMAKE_SOURCE_DIR}/package/entryname.cpp
    ${CMAKE_SOURCE_DIR}/package/image.cpp ${CMAKE_SOURCE_DIR}/package/packbuild.cpp
    ${CMAKE_SOURCE_DIR}/base/text.cpp)
  export(TARGETS packtool FILE ${CMAKE_BINARY_DIR}/host-tools.cmake)
elseif(TAVRIN_HOST_TOOLS)
  include(${TAVRIN_HOST_TOOLS} OPTIONAL)
endif()

tavrin_script_test(package_packtool_pack_list_verify_unpack_refusals HOST COMMAND bash
  ${CMAKE_SOURCE_DIR}/tests/host/package_packtool_test.sh $<TARGET_FILE:packtool>)
if(TAVRIN_WINDOWS AND TARGET packtool)
  tavrin_script_test(package_packtool_reads_the_built_installer COMMAND bash
    ${CMAKE_SOURCE_DIR}/tests/win/package_list_installer.sh $<TARGET_FILE:packtool>
    $<TARGET_FILE:TavrinSoloSetup> ${CMAKE_BINARY_DIR}/TavrinSoloPackage.bin
    $<TARGET_FILE:TavrinSolo>)
endif()
