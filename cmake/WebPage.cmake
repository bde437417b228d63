# Puts the page together in WEB_DIR, beside the form that the page generator
# wrote there: the scripts and styles, the engine from ENGINE_DIR, the icons
# drawn by ICON_TOOL, and the service worker, its cache named after VERSION
# and this build's files.
if(NOT ICON_TOOL)
  message(FATAL_ERROR "The page's icons need ZELK_ICON_TOOL: zelkpatcher-snapshot of a native build")
endif()
set(web ${SOURCE_DIR}/src/ui/web)
file(COPY ${web}/shared.js ${web}/app.js ${web}/hack.js ${web}/worker.js ${web}/style.css ${web}/manifest.webmanifest
     ${ENGINE_DIR}/zelkpatch.js ${ENGINE_DIR}/zelkpatch.wasm DESTINATION ${WEB_DIR})
file(COPY_FILE ${SOURCE_DIR}/data/zelkpatcher.png ${WEB_DIR}/icon.png)
foreach(size 192 512)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${ICON_TOOL} --icon ${size}
                          ${WEB_DIR}/icon-${size}.png
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not draw the ${size}-pixel icon with ${ICON_TOOL}")
  endif()
endforeach()

# A new build's service worker replaces the cached files of the old one.
include(${CMAKE_CURRENT_LIST_DIR}/WebBuildName.cmake)
zelk_web_build_name(${WEB_DIR} ${VERSION} VERSION)
configure_file(${web}/sw.js ${WEB_DIR}/sw.js @ONLY)
message(STATUS "wrote ${WEB_DIR}")
