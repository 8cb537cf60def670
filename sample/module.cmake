# sample/: the sample application, the sample payload's libraries, and the package the Windows
# build makes from a payload manifest with the host's packtool.
#   TAVRIN_PAYLOAD_MANIFEST  the manifest to pack (default: the sample payload's)
#   TAVRIN_RESOLVED_MANIFEST the manifest with every source an absolute path
#   TAVRIN_PAYLOAD_DEPENDS   the files and targets that manifest reads
#   TAVRIN_PACKAGE_FILE      the package the build makes (for the tests' own programs)
#   TAVRIN_PACKAGE_RC        an .rc that embeds it as RCDATA 100; depend on tavrin_package
set(TAVRIN_PAYLOAD_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/payload/manifest.txt CACHE FILEPATH
    "Manifest of the 17 files to pack into the installer (entry name | source file per line)")

if(TAVRIN_WINDOWS)
  add_executable(TavrinSolo WIN32 ${CMAKE_CURRENT_LIST_DIR}/app/TavrinSolo.cpp)
  target_compile_options(TavrinSolo PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
  target_link_options(TavrinSolo PRIVATE ${TAVRIN_STATIC_LINK} -Wl,--gc-sections -s)

  # The decoder and the eight remote-control plug-ins: one source, nine names.
  foreach(lib codec_QvDecode remote_MidiFootswitch remote_KeypadHid remote_OscBridge
          remote_SerialPedal remote_GamepadInput remote_LanSync remote_PresenterClicker
          remote_TimecodeLtc)
    string(REGEX REPLACE "^[a-z]+_" "" name ${lib})
    add_library(sample_${lib} SHARED ${CMAKE_CURRENT_LIST_DIR}/payload/plugin.cpp)
    target_compile_definitions(sample_${lib} PRIVATE PLUGIN_NAME="${name}")
    target_compile_options(sample_${lib} PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
    target_link_options(sample_${lib} PRIVATE ${TAVRIN_STATIC_LINK} -s)
    set_target_properties(sample_${lib} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sample-payload/${lib})
  endforeach()

  # Resolve the manifest: sources relative to its folder, @target:NAME@ to the built file.
  get_filename_component(manifestDir ${TAVRIN_PAYLOAD_MANIFEST} DIRECTORY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAVRIN_PAYLOAD_MANIFEST})
  file(STRINGS ${TAVRIN_PAYLOAD_MANIFEST} manifestLines)
  set(resolved "")
  set(payloadFiles "")
  set(payloadTargets "")
  foreach(line IN LISTS manifestLines)
    if(line MATCHES "^[ \t]*(#|$)" OR NOT line MATCHES "^([^|]*)\\|[ \t]*(.*[^ \t])[ \t]*$")
      string(APPEND resolved "${line}\n")
      continue()
    endif()
    set(entry "${CMAKE_MATCH_1}")
    set(source "${CMAKE_MATCH_2}")
    if(source MATCHES "^@target:([A-Za-z0-9_]+)@$")
      list(APPEND payloadTargets ${CMAKE_MATCH_1})
      set(source "$<TARGET_FILE:${CMAKE_MATCH_1}>")
    else()
      get_filename_component(source "${source}" ABSOLUTE BASE_DIR ${manifestDir})
      list(APPEND payloadFiles "${source}")
    endif()
    string(APPEND resolved "${entry}| ${source}\n")
  endforeach()
  set(resolvedManifest ${CMAKE_BINARY_DIR}/payload-manifest.txt)
  file(GENERATE OUTPUT ${resolvedManifest} CONTENT "${resolved}")
  set(TAVRIN_RESOLVED_MANIFEST ${resolvedManifest})

  set(TAVRIN_PACKAGE_FILE ${CMAKE_BINARY_DIR}/TavrinSoloPackage.bin)
  set(targetFiles "")
  foreach(t IN LISTS payloadTargets)
    list(APPEND targetFiles "$<TARGET_FILE:${t}>")
  endforeach()
  set(TAVRIN_PAYLOAD_DEPENDS ${resolvedManifest} ${payloadFiles} ${payloadTargets} ${targetFiles})
  add_custom_command(OUTPUT ${TAVRIN_PACKAGE_FILE}
    COMMAND packtool pack ${resolvedManifest} ${TAVRIN_PACKAGE_FILE}
    DEPENDS ${TAVRIN_PAYLOAD_DEPENDS} $<TARGET_FILE:packtool>
    COMMENT "Packing the payload of ${TAVRIN_PAYLOAD_MANIFEST}")
  add_custom_target(tavrin_package DEPENDS ${TAVRIN_PACKAGE_FILE})

  set(TAVRIN_PACKAGE_RC ${CMAKE_BINARY_DIR}/package.rc)
  configure_file(${CMAKE_SOURCE_DIR}/resources/package.rc.in ${TAVRIN_PACKAGE_RC} @ONLY)
  set_source_files_properties(${TAVRIN_PACKAGE_RC} PROPERTIES OBJECT_DEPENDS ${TAVRIN_PACKAGE_FILE})
endif()
