# Tests that look at the whole build: the executables' form, the GUI harness.
tavrin_script_test(pe_form_installer_and_sample COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_CURRENT_LIST_DIR}/tools/check_pe.py
  $<TARGET_FILE:TavrinSoloSetup> $<TARGET_FILE:TavrinSolo> --console $<TARGET_FILE:packtool_exe>)
tavrin_script_test(gui_smoke_sample_window COMMAND bash
  ${CMAKE_CURRENT_LIST_DIR}/gui/smoke_sample.sh $<TARGET_FILE:TavrinSolo> LOCK)
# The checker bites: a console program (the Windows test programs are console programs) and a
# program that imports a DLL of its own (a copy of the sample with its import renamed) are refused.
tavrin_script_test(pe_form_checker_refuses_console_and_foreign_imports COMMAND bash
  ${CMAKE_CURRENT_LIST_DIR}/tools/check_pe_bites.sh ${TAVRIN_PYTHON}
  ${CMAKE_CURRENT_LIST_DIR}/tools/check_pe.py $<TARGET_FILE:base_win_tests>
  $<TARGET_FILE:TavrinSolo>)
# The folders' layering: includes run only downwards (base/ at the bottom, app/ on top).
tavrin_script_test(layout_includes_run_downwards HOST COMMAND bash
  ${CMAKE_CURRENT_LIST_DIR}/tools/check_layers.sh ${CMAKE_SOURCE_DIR} --self-test)
include(${CMAKE_CURRENT_LIST_DIR}/win/fault_module.cmake)
# The install timed by phase for tests/bench/peer_bench.sh: the installer's program behind an
# entry that stamps its system calls (made into an installer there by `packtool build`).
if(TAVRIN_WINDOWS)
  add_executable(install_phases WIN32 ${CMAKE_CURRENT_LIST_DIR}/bench/install_phases.cpp
    ${CMAKE_SOURCE_DIR}/app/main.cpp ${CMAKE_SOURCE_DIR}/resources/placeholder.rc
    ${TAVRIN_INSTALLER_RC})
  target_compile_definitions(install_phases PRIVATE WinMain=TavrinWinMain)
  target_compile_options(install_phases PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
  target_link_options(install_phases PRIVATE ${TAVRIN_STATIC_LINK} -s)
  target_link_libraries(install_phases PRIVATE tavrin_windows)
  add_dependencies(install_phases tavrin_art)
endif()
