# The modules as plug-ins of a Wireshark build from source, the route for Windows and
# macOS: this folder sits in Wireshark's tree (plugins/epan/nrf24) and the tree's
# CUSTOM_PLUGIN_SRC_DIR names it. Each module is built, placed and installed as the
# tree's own plug-ins are (WiresharkPlugin.cmake), for the version being built, and
# linked to epan as a DLL on Windows must be.
include(WiresharkPlugin)
if(NOT DEFINED PROJECT_MAJOR_VERSION OR NOT DEFINED PROJECT_MINOR_VERSION)
  message(FATAL_ERROR "nrf24: this Wireshark tree sets no PROJECT_MAJOR_VERSION/PROJECT_MINOR_VERSION")
endif()

function(nrf24_plugin_module name)
  set(PLUGIN_FILES ${ARGN})
  add_wireshark_plugin_library(${name} epan)
  set_target_properties(${name} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON)
  target_include_directories(${name} PRIVATE ${NRF24_SOURCE_DIR}/common)
  target_compile_definitions(${name} PRIVATE
    NRF24_WS_MAJOR=${PROJECT_MAJOR_VERSION} NRF24_WS_MINOR=${PROJECT_MINOR_VERSION} HAVE_PLUGINS)
  target_link_libraries(${name} epan)
  install_plugin(${name} epan)
  add_dependencies(nrf24_modules ${name})
endfunction()

# All of them at once: cmake --build <build folder> --target tshark nrf24_modules
add_custom_target(nrf24_modules)

set(NRF24_SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
foreach(module_dir ${NRF24_MODULE_DIRS})
  add_subdirectory(${module_dir})
endforeach()
message(STATUS "nRF24 modules in the tree: ${NRF24_MODULE_DIRS}")
