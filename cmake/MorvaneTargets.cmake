# How the project's libraries, backends and cleaners are declared.
#
#   morvane_library(NAME DIRS dir... [DEPS lib...] [PRIVATE_DEPS lib...])
#     A shared library from every .cpp of the folders, installed and exported
#     as tarvex::NAME.  The public headers are under include/; headers beside
#     the sources (addressed from src/, e.g. "orvanta/worker_server.hpp")
#     are internal and not installed.
#
#   morvane_backend(NAME [SOURCES file...] [DEPS lib...])
#   morvane_cleaner(NAME [SOURCES file...] [DEPS lib...])
#     An orchestrator backend or a readiness cleaner in a folder of its own:
#     the library tarvex_morvane_NAME (tarvex_morvane_NAME_cleaner for a
#     cleaner) from the folder's .cpp files, linked against bases, with the
#     folder's include/ as its public headers; installed, exported, and
#     linked into the bringup tool so that its classes are registered there.

define_property(GLOBAL PROPERTY MORVANE_INSTALL_TARGETS BRIEF_DOCS "libraries to install and export")

# Headers almost every file of a layer includes are compiled once per
# target (they cost several seconds per file otherwise).
set(MORVANE_FRAMEWORK_PCH <string> <vector> <memory> <functional> <optional> <map>
    "${PROJECT_SOURCE_DIR}/include/tarvex/value.hpp" "${PROJECT_SOURCE_DIR}/include/tarvex/exceptions.hpp"
    "${PROJECT_SOURCE_DIR}/include/tarvex/object.hpp" "${PROJECT_SOURCE_DIR}/include/tarvex/log.hpp")
set(MORVANE_PACKAGE_PCH ${MORVANE_FRAMEWORK_PCH} "${PROJECT_SOURCE_DIR}/include/tarvex/morvane/bases.hpp")
function(morvane_precompile target)
  if(MORVANE_PRECOMPILE_HEADERS)
    target_precompile_headers(${target} PRIVATE ${ARGN})
  endif()
endfunction()
define_property(GLOBAL PROPERTY MORVANE_PLUGGED_TARGETS BRIEF_DOCS "backends and cleaners the tool registers")
define_property(GLOBAL PROPERTY MORVANE_PUBLIC_INCLUDE_DIRS BRIEF_DOCS "header folders to install")

function(morvane_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;SOURCES;DEPS;PRIVATE_DEPS;PRECOMPILE" ${ARGN})
  set(sources ${ARG_SOURCES})
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB dir_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  add_library(${name} SHARED ${sources})
  add_library(tarvex::${name} ALIAS ${name})
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE morvane_warnings ${ARG_PRIVATE_DEPS})
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                                           EXPORT_NAME ${name})
  set_property(GLOBAL APPEND PROPERTY MORVANE_INSTALL_TARGETS ${name})
  if(ARG_PRECOMPILE)
    morvane_precompile(${name} ${ARG_PRECOMPILE})
  endif()
endfunction()

function(morvane_plugged_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  # Without a list of sources, the folder's and its subfolders' (a backend
  # may group its parts; "include" holds its public headers, and a subfolder
  # with a CMakeLists.txt of its own is a library added on its own).
  set(dirs)
  if(NOT ARG_SOURCES)
    set(dirs ${CMAKE_CURRENT_SOURCE_DIR})
    file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
    foreach(child IN LISTS children)
      get_filename_component(child_name ${child} NAME)
      if(IS_DIRECTORY ${child} AND NOT child_name STREQUAL "include" AND NOT EXISTS ${child}/CMakeLists.txt)
        list(APPEND dirs ${child})
      endif()
    endforeach()
  endif()
  morvane_library(${name} DIRS ${dirs} SOURCES ${ARG_SOURCES} DEPS tarvex_morvane_bases ${ARG_DEPS}
                  PRECOMPILE ${MORVANE_PACKAGE_PCH})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
    set_property(GLOBAL APPEND PROPERTY MORVANE_PUBLIC_INCLUDE_DIRS ${CMAKE_CURRENT_SOURCE_DIR}/include)
  endif()
  set_property(GLOBAL APPEND PROPERTY MORVANE_PLUGGED_TARGETS ${name})
endfunction()

function(morvane_backend name)
  morvane_plugged_library(tarvex_morvane_${name} ${ARGN})
endfunction()

function(morvane_cleaner name)
  morvane_plugged_library(tarvex_morvane_${name}_cleaner ${ARGN})
endfunction()

# Adds every subfolder of the current folder that has a CMakeLists.txt, so
# that a new backend or cleaner needs no line elsewhere.
function(morvane_add_plugged_folders)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
