# Tests that look at the whole build: the executables' form, the GUI harness.
tavrin_script_test(pe_form_installer_and_sample COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_CURRENT_LIST_DIR}/tools/check_pe.py
  $<TARGET_FILE:TavrinSoloSetup> $<TARGET_FILE:TavrinSolo>)
tavrin_script_test(gui_smoke_sample_window COMMAND bash
  ${CMAKE_CURRENT_LIST_DIR}/gui/smoke_sample.sh $<TARGET_FILE:TavrinSolo> LOCK)
