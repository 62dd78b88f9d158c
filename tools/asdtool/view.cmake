# asdtool view, the card viewer: an HTTP server (cpp-httplib), JSON (nlohmann-json) and a page
# with a chart and a map library from npm (pinned in view/package-lock.json, installed with
# npm ci into the build tree and built into the program). The box's cross build goes without it.
if(CMAKE_CROSSCOMPILING)
  set(_asdtool_view_default OFF)
else()
  set(_asdtool_view_default ON)
endif()
option(ASDTOOL_VIEW "Build asdtool view (needs cpp-httplib, nlohmann-json and npm)"
       ${_asdtool_view_default})
if(NOT ASDTOOL_VIEW)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB IMPORTED_TARGET cpp-httplib)
find_package(nlohmann_json 3 QUIET)
find_program(NPM_EXECUTABLE npm)
if(NOT HTTPLIB_FOUND OR NOT nlohmann_json_FOUND OR NOT NPM_EXECUTABLE)
  message(FATAL_ERROR "asdtool view needs libcpp-httplib-dev, nlohmann-json3-dev and npm "
                      "(scripts/deps.sh installs them); -DASDTOOL_VIEW=OFF builds without it")
endif()

set(_page ${CMAKE_CURRENT_SOURCE_DIR}/view)
set(_npm ${CMAKE_CURRENT_BINARY_DIR}/view_npm)
file(MAKE_DIRECTORY ${_npm})
add_custom_command(
  OUTPUT ${_npm}/npm-ci.stamp
  COMMAND ${CMAKE_COMMAND} -E copy ${_page}/package.json ${_page}/package-lock.json ${_npm}
  COMMAND ${NPM_EXECUTABLE} ci --no-audit --no-fund --ignore-scripts --loglevel=error
  COMMAND ${CMAKE_COMMAND} -E touch ${_npm}/npm-ci.stamp
  WORKING_DIRECTORY ${_npm}
  DEPENDS ${_page}/package.json ${_page}/package-lock.json
  COMMENT "npm ci: the viewer's chart and map libraries"
  VERBATIM)

set(_page_files
    index.html=${_page}/index.html
    viewer.js=${_page}/viewer.js
    viewer.css=${_page}/viewer.css
    uPlot.iife.min.js=${_npm}/node_modules/uplot/dist/uPlot.iife.min.js
    uPlot.min.css=${_npm}/node_modules/uplot/dist/uPlot.min.css
    leaflet.js=${_npm}/node_modules/leaflet/dist/leaflet.js
    leaflet.css=${_npm}/node_modules/leaflet/dist/leaflet.css)
set(_sources ${_page}/index.html ${_page}/viewer.js ${_page}/viewer.css)
list(JOIN _page_files "|" _files)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/view_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_CURRENT_BINARY_DIR}/view_assets.cpp "-DFILES=${_files}"
          -P ${_page}/embed.cmake
  DEPENDS ${_npm}/npm-ci.stamp ${_sources} ${_page}/embed.cmake
  COMMENT "Building the viewer's page into asdtool"
  VERBATIM)

add_library(asdview STATIC view_paths.cpp view_wav.cpp view_card.cpp view_server.cpp
                           ${CMAKE_CURRENT_BINARY_DIR}/view_assets.cpp)
target_include_directories(asdview PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(asdview PUBLIC asdreader PkgConfig::HTTPLIB nlohmann_json::nlohmann_json
                                     Threads::Threads)
target_link_libraries(asdtool PRIVATE asdview)
target_compile_definitions(asdtool PRIVATE ASDTOOL_VIEW=1)
