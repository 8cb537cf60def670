# resources/: the installer's icon, window picture, version block and manifest (installer.rc).
# make_art.py draws the picture and the icon into the build folder; windres writes no dependency
# file, so everything installer.rc pulls in is listed as its object's dependencies.
if(TAVRIN_WINDOWS)
  set(TAVRIN_ART_DIR ${CMAKE_BINARY_DIR}/resources)
  add_custom_command(
    OUTPUT ${TAVRIN_ART_DIR}/picture.bmp ${TAVRIN_ART_DIR}/installer.ico
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVRIN_ART_DIR}
    COMMAND ${TAVRIN_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/make_art.py
            ${TAVRIN_ART_DIR}/picture.bmp ${TAVRIN_ART_DIR}/installer.ico
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_art.py
    COMMENT "Drawing the installer's picture and icon")
  add_custom_target(tavrin_art DEPENDS ${TAVRIN_ART_DIR}/picture.bmp ${TAVRIN_ART_DIR}/installer.ico)

  set(TAVRIN_INSTALLER_RC ${CMAKE_CURRENT_LIST_DIR}/installer.rc)
  set_source_files_properties(${TAVRIN_INSTALLER_RC} PROPERTIES
      INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR};${TAVRIN_ART_DIR}"
      OBJECT_DEPENDS "${TAVRIN_ART_DIR}/picture.bmp;${TAVRIN_ART_DIR}/installer.ico;${CMAKE_CURRENT_LIST_DIR}/installer.manifest")
  target_sources(tavrin_linked_setup PRIVATE ${TAVRIN_INSTALLER_RC})
  add_dependencies(tavrin_linked_setup tavrin_art)
endif()

# An independent reader (pefile) checks what ended up in the executable, and refuses damaged copies.
tavrin_script_test(resources_read_back_by_pefile COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_SOURCE_DIR}/tests/tools/check_resources.py $<TARGET_FILE:TavrinSoloSetup>)
tavrin_script_test(resources_checker_refuses_damaged_copies COMMAND ${TAVRIN_PYTHON}
  ${CMAKE_SOURCE_DIR}/tests/tools/check_resources.py --self-test $<TARGET_FILE:TavrinSoloSetup>)
