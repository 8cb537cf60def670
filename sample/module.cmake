# sample/: the sample application and the sample payload that the default build packs.
if(TAVRIN_WINDOWS)
  add_executable(TavrinSolo WIN32 ${CMAKE_CURRENT_LIST_DIR}/app/TavrinSolo.cpp)
  target_compile_options(TavrinSolo PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
  target_link_options(TavrinSolo PRIVATE ${TAVRIN_STATIC_LINK} -Wl,--gc-sections -s)
endif()
