# Runs the Windows x64 test executables under Wine: a private prefix in the build tree, and a
# ctest fixture that starts a persistent wine server before the suites and stops it after
# (otherwise ctest waits on Wine's background processes).
set(KEPRA_WINE64 /usr/lib/wine/wine64 CACHE FILEPATH "wine64 binary")
set(KEPRA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
set(KEPRA_WINE_FIXTURE ON)

add_test(NAME wine_server_start COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --start-server)
set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
add_test(NAME wine_server_stop COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --stop-server)
set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120)
