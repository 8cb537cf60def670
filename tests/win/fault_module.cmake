# The fault loops: the install and removal procedures with every system call they make failed
# (or lied about) in turn, through the test program's own import address table.
if(TAVRIN_WINDOWS AND TAVRIN_PACKAGE_FILE)
  # The package as a DLL's RCDATA 100, loaded afresh for every run.
  tavrin_package_dll(fault_package ${TAVRIN_PACKAGE_FILE})
  add_dependencies(fault_package tavrin_package)
  tavrin_win_test(fault_procedures_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_procedures_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fault_kit.cpp LOCK TIMEOUT 1200)
  add_dependencies(fault_procedures_tests fault_package)
  target_compile_definitions(fault_procedures_tests PRIVATE
      TAVRIN_FAULT_PACKAGE_DLL="$<TARGET_FILE:fault_package>")
endif()
