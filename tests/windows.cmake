# Windows test programs, cross-built and run under Wine through the emulator.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set_source_files_properties(${CMAKE_SOURCE_DIR}/res/updater.rc PROPERTIES
  OBJECT_DEPENDS "${updater_resource_inputs}")

set(server_wrapper ${CMAKE_SOURCE_DIR}/tests/server/run_with_server.sh)
set(wine_run ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh)

# Engine, manifest, check and transfer under Wine; the tests that need HTTP
# get a fault server of their own.
add_executable(windows_tests
  support/win_test_support.cpp
  engine/text_convert_win_test.cpp
  manifest/folder_scan_win_test.cpp
  check/version_check_win_test.cpp
  check/http_win_test.cpp
  check/signature_win_test.cpp
  app/update_log_win_test.cpp
  app/single_instance_win_test.cpp
  transfer/download_win_test.cpp
  transfer/replace_self_win_test.cpp
)
target_include_directories(windows_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(windows_tests PRIVATE updater_win gtest gtest_main)

# The dialog tests run the real dialog in-process. Their program sits alone in
# a folder of its own, which is the "installation folder" they update.
add_executable(dialog_tests
  support/win_test_support.cpp
  app/dialog_win_test.cpp
  ${CMAKE_SOURCE_DIR}/res/updater.rc
)
target_include_directories(dialog_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(dialog_tests PRIVATE updater_win gtest gtest_main)
set_target_properties(dialog_tests PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dialog-install)

function(add_wine_test name target)
  add_test(NAME ${name}
    COMMAND ${server_wrapper} ${CMAKE_CURRENT_BINARY_DIR}/server-${name} --
            ${wine_run} $<TARGET_FILE:${target}> ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()

add_wine_test(windows_engine windows_tests)
# The hand-off script where cmd's OEM code page (850) differs from the ANSI
# one the updater writes in (1252): a Western locale, in a prefix of its own.
add_test(NAME windows_western_script
  COMMAND env UPDATER_WINE_LANG=fr_FR.UTF-8 UPDATER_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-western
          ${wine_run} $<TARGET_FILE:windows_tests> --gtest_filter=ReplaceSelfScriptTest.*)
set_tests_properties(windows_western_script PROPERTIES TIMEOUT 600)
add_wine_test(windows_dialog dialog_tests)

# End to end: the shipped Updater.exe driven from another process.
add_executable(uidriver e2e/uidriver.cpp)
target_include_directories(uidriver PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(uidriver PRIVATE comctl32 user32)
add_executable(client_standin WIN32 e2e/client_standin.cpp)
target_include_directories(client_standin PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(client_standin PRIVATE -municode)

# A client's DLL and a process that holds it (or any file) while the updater
# runs.
add_executable(file_holder e2e/file_holder.cpp)
target_include_directories(file_holder PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(file_holder PRIVATE -municode)
add_library(sample_plugin SHARED e2e/sample_plugin.cpp)
set_target_properties(sample_plugin PROPERTIES PREFIX "")

# The updater built again with one setting of its own, into a folder of its
# own (as Updater.exe): the given source, compiled with the definition, comes
# before the library's copy of it, so that copy is not linked in.
function(add_test_updater target folder source definition)
  add_executable(${target} WIN32
    ${CMAKE_SOURCE_DIR}/app/my_update_app.cpp
    ${CMAKE_SOURCE_DIR}/framework/afx_winmain.cpp
    ${CMAKE_SOURCE_DIR}/${source}
    ${CMAKE_SOURCE_DIR}/res/updater.rc)
  target_compile_definitions(${target} PRIVATE "${definition}")
  target_link_libraries(${target} PRIVATE updater_win)
  target_link_options(${target} PRIVATE -municode)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME Updater
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${folder})
endfunction()

# For the suite's TLS case: an HTTPS server on localhost.
set(tls_test_port 18766)
add_test_updater(updater_tls tls engine/base_url.cpp
  "UPDATER_DEFAULT_BASE_URL=L\"https://localhost:${tls_test_port}/Velmora/Qyr/Test/\"")
# For the suite's signed case: the public key of tests/e2e/test_signing_key.pem.
add_test_updater(updater_signed signed engine/public_key.cpp
  "UPDATER_PUBLIC_KEY_HEX=\"040633eba5f4fbcda09a42dcfd22c6c79ccfb180d8493ef5214acea78a775b694f200e0bfffda532e49dab8e34b525585480aafed4cf467f3b3674a028fac5f711\"")

add_executable(trust_ca e2e/trust_ca.cpp)
target_include_directories(trust_ca PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(trust_ca PRIVATE crypt32)
target_link_options(trust_ca PRIVATE -municode)

add_test(NAME end_to_end
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-wine-env.sh ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py)
set_tests_properties(end_to_end PROPERTIES TIMEOUT 900
  ENVIRONMENT "UPDATER_WINDOWS_BUILD=${CMAKE_BINARY_DIR};UPDATER_TLS_PORT=${tls_test_port}")

# Killed runs, a soak against the fault server, Chinese names: the short
# variants (UPDATER_STRESS=1 under make stress runs the long ones).
add_test(NAME end_to_end_stress
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-wine-env.sh ${CMAKE_CURRENT_SOURCE_DIR}/e2e/stress_test.py)
set_tests_properties(end_to_end_stress PROPERTIES TIMEOUT 600
  ENVIRONMENT "UPDATER_WINDOWS_BUILD=${CMAKE_BINARY_DIR};UPDATER_STRESS=0")
