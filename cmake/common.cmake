# Build settings shared by every target, and the helpers with which each folder's module.cmake
# adds its sources and tests:
#   tavrin_portable_sources(files...)  portable logic: built in both builds (library tavrin_portable)
#   tavrin_windows_sources(files...)   Win32 code of the installer (library tavrin_windows)
#   tavrin_host_test(NAME SOURCES files... [LIBS libs...])      GoogleTest program, host build
#   tavrin_win_test(NAME SOURCES files... [LIBS ...] [RESOURCES rc...] [LOCK] [TIMEOUT s])
#                                                               GoogleTest program run under Wine;
#                                                               LOCK serialises it with the others
#                                                               that change the shared prefix
#   tavrin_script_test(NAME COMMAND ... [LOCK] [HOST])          a script test (Windows build unless HOST)

set(TAVRIN_WARNINGS -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wcast-align -Wnon-virtual-dtor
    -Wmissing-declarations -Wno-missing-field-initializers)
set(TAVRIN_SCRIPTS ${CMAKE_SOURCE_DIR}/scripts)
find_program(TAVRIN_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)

if(TAVRIN_WINDOWS)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  # The installer's own code: no exceptions, no RTTI, function sections for --gc-sections.
  # (No -fdata-sections: with it, mingw GCC puts zero-initialised globals in .data$name, so the
  # 8 KB context would take room in the file instead of .bss.)
  set(TAVRIN_PRODUCT_FLAGS -fno-exceptions -fno-rtti -ffunction-sections
      -fno-asynchronous-unwind-tables -fno-ident)
  set(TAVRIN_STATIC_LINK -static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)
  # Wine harness: every Windows test program runs through this wrapper, in a throwaway prefix
  # kept under the build folder for the length of one test run.
  set(TAVRIN_HARNESS_DIR ${CMAKE_BINARY_DIR}/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVRIN_SCRIPTS}/wine-harness.sh;${TAVRIN_HARNESS_DIR};run)
else()
  # The installer's code is built as the installer builds it, so that host tests, sanitizers
  # and coverage see the same code: no exceptions (and no unwinding edges), no RTTI.
  set(TAVRIN_PRODUCT_FLAGS -fno-exceptions -fno-rtti)
  if(TAVRIN_SANITIZE)
    set(TAVRIN_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_compile_options(${TAVRIN_SANITIZER_FLAGS})
    add_link_options(${TAVRIN_SANITIZER_FLAGS})
  endif()
  if(TAVRIN_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  endif()
endif()

# Coverage variant (scripts/coverage.sh): every object with gcov's counters, unoptimised so that
# lines map to code; programs under Wine write their .gcda files through drive Z:.
option(TAVRIN_COVERAGE "Build with gcc --coverage" OFF)
if(TAVRIN_COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic -O0)
  add_compile_definitions(TAVRIN_COVERAGE)
  add_link_options(--coverage)
endif()

set_property(GLOBAL PROPERTY TAVRIN_PORTABLE_SOURCES "")
set_property(GLOBAL PROPERTY TAVRIN_WINDOWS_SOURCES "")

function(tavrin_portable_sources)
  foreach(f ${ARGN})
    set_property(GLOBAL APPEND PROPERTY TAVRIN_PORTABLE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/${f})
  endforeach()
endfunction()

function(tavrin_windows_sources)
  foreach(f ${ARGN})
    set_property(GLOBAL APPEND PROPERTY TAVRIN_WINDOWS_SOURCES ${CMAKE_CURRENT_LIST_DIR}/${f})
  endforeach()
endfunction()

# Builds the two libraries from what the modules listed.
function(tavrin_finish_libraries)
  get_property(portable GLOBAL PROPERTY TAVRIN_PORTABLE_SOURCES)
  get_property(win GLOBAL PROPERTY TAVRIN_WINDOWS_SOURCES)
  if(TAVRIN_COVERAGE)
    # Files compiled for speed are measured unoptimised too, so that lines map to code.
    foreach(f ${portable} ${win})
      get_source_file_property(options ${f} COMPILE_OPTIONS)
      if(options)
        list(FILTER options EXCLUDE REGEX "^-O")
        set_source_files_properties(${f} PROPERTIES COMPILE_OPTIONS "${options}")
      endif()
    endforeach()
  endif()
  add_library(tavrin_portable STATIC ${portable})
  target_include_directories(tavrin_portable PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(tavrin_portable PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
  if(TAVRIN_WINDOWS)
    add_library(tavrin_windows STATIC ${win})
    target_include_directories(tavrin_windows PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_options(tavrin_windows PRIVATE ${TAVRIN_WARNINGS} ${TAVRIN_PRODUCT_FLAGS})
    target_link_libraries(tavrin_windows PUBLIC tavrin_portable
        shell32 ole32 uuid advapi32 gdi32 user32 kernel32)
  endif()
endfunction()

function(tavrin_host_test name)
  # The ThreadSanitizer build runs only the package tests, the code with threads of its own.
  if(TAVRIN_WINDOWS OR (TAVRIN_TSAN AND NOT name MATCHES "^package_"))
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_compile_options(${name} PRIVATE ${TAVRIN_WARNINGS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tavrin_portable GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()

# Cases that another case or a script starts (with the environment they need); on their own they
# would only skip. Discovery leaves them out, so CTest lists only cases that run by themselves.
set(TAVRIN_HELPER_CASES Child.*
    Procedures.InstallOnAFullDiskFailsBeforeLinksCopyAndRecord
    Procedures.CopyOnAFullDiskLeavesNoPartialCopy
    Procedures.InstallLeftForTheHostTools
    Procedures.FoldersLaidOutForTheOrderScript
    Removal.LinkInTheTargetFolderIsNeverFollowed
    DeleteFolderTree.RefusesADriveRoot
    DeleteFolderTree.NeverEntersALinkToAFolderOutside)

function(tavrin_win_test name)
  if(NOT TAVRIN_WINDOWS)
    return()
  endif()
  cmake_parse_arguments(T "LOCK" "TIMEOUT" "SOURCES;LIBS;RESOURCES" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_RESOURCES})
  target_compile_options(${name} PRIVATE ${TAVRIN_WARNINGS})
  target_link_options(${name} PRIVATE ${TAVRIN_STATIC_LINK})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tavrin_windows gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK wineprefix)
  endif()
  # Each case is its own CTest test, read from the sources here rather than asked of the
  # program: listing the tests (ctest -N) then starts no Wine. These programs write every case
  # as TEST or TEST_F on one line; any other form stops the configure, so none is missed.
  foreach(src ${T_SOURCES})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
    file(STRINGS ${src} lines REGEX "^[A-Z_]*TEST[A-Z_]*\\(")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "^TEST(_F)?\\(([A-Za-z0-9_]+), ([A-Za-z0-9_]+)\\)")
        message(FATAL_ERROR "${src}: a case not of the form TEST(Suite, Name): ${line}")
      endif()
      set(case ${CMAKE_MATCH_2}.${CMAKE_MATCH_3})
      set(helper OFF)
      foreach(pattern ${TAVRIN_HELPER_CASES})
        string(REPLACE "." "\\." pattern "${pattern}")
        string(REPLACE "*" ".*" pattern "${pattern}")
        if(case MATCHES "^${pattern}$")
          set(helper ON)
        endif()
      endforeach()
      if(NOT helper)
        add_test(NAME ${case} COMMAND ${name} --gtest_filter=${case})
        set_tests_properties(${case} PROPERTIES ${props} SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
      endif()
    endforeach()
  endforeach()
endfunction()

function(tavrin_script_test name)
  cmake_parse_arguments(T "LOCK;HOST" "" "COMMAND" ${ARGN})
  if(T_HOST AND (TAVRIN_WINDOWS OR TAVRIN_TSAN))
    return()
  endif()
  if(NOT T_HOST AND NOT TAVRIN_WINDOWS)
    return()
  endif()
  if(TAVRIN_WINDOWS)
    add_test(NAME ${name} COMMAND bash ${TAVRIN_SCRIPTS}/run-logged.sh ${T_COMMAND})
  else()
    add_test(NAME ${name} COMMAND ${T_COMMAND})
  endif()
  if(TAVRIN_WINDOWS)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
        "TAVRIN_HARNESS_DIR=${TAVRIN_HARNESS_DIR};TAVRIN_BUILD_DIR=${CMAKE_BINARY_DIR};TAVRIN_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  else()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
        "TAVRIN_BUILD_DIR=${CMAKE_BINARY_DIR};TAVRIN_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  endif()
  # A hung test must fail within minutes rather than hold CI for its whole time.
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(T_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wineprefix)
  endif()
endfunction()

include(GoogleTest)
if(TAVRIN_WINDOWS)
  # GoogleTest from Debian's source package, built with the cross compiler.
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
