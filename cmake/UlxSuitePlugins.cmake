# Suite plugins of the build tree: each is a module library in its own package
# directory, bin/plugins/packages/<name>/lib<name>.so, listed in the catalogue
# bin/plugins/catalogue.json that the plugin manager of a build-tree installation
# reads (the default "PluginCatalog" of <OfficeDir>/plugins/catalogue.json).
#
#   ulx_add_suite_plugin(NAME <name> SOURCES <files...> [DESC <text>] [LIBS <targets...>]
#                        [DEFINITIONS <defs...>])
#
# Target name: suiteplugin_<name>. The target ulx_suite_plugins depends on all of them.
add_custom_target(ulx_suite_plugins)
set(ULX_SUITE_PACKAGES_DIR ${CMAKE_BINARY_DIR}/bin/plugins/packages)

function(ulx_add_suite_plugin)
  cmake_parse_arguments(P "" "NAME;DESC" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
  set(target suiteplugin_${P_NAME})
  add_library(${target} MODULE ${P_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${P_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${ULX_SUITE_PACKAGES_DIR}/${P_NAME}
    # Installed plugins live in the user's data directory: the suite's own
    # libraries are found beside the programs, by this path or already loaded.
    BUILD_RPATH "${CMAKE_BINARY_DIR}/bin")
  target_link_libraries(${target} PRIVATE ulx_settings suite ${P_LIBS})
  # A plugin that calls nothing of libc directly still runs in a process of it, and
  # Debian's rule is that every shared library names libc among its dependencies.
  target_link_options(${target} PRIVATE "LINKER:--push-state,--no-as-needed,-lc,--pop-state")
  if(P_DEFINITIONS)
    target_compile_definitions(${target} PRIVATE ${P_DEFINITIONS})
  endif()
  add_dependencies(ulx_suite_plugins ${target})
  if(NOT P_DESC)
    set(P_DESC ${P_NAME})
  endif()
  set_property(GLOBAL APPEND PROPERTY ULX_SUITE_PLUGIN_NAMES ${P_NAME})
  set_property(GLOBAL PROPERTY ULX_SUITE_PLUGIN_DESC_${P_NAME} "${P_DESC}")
  set_property(GLOBAL PROPERTY ULX_SUITE_PLUGIN_LIBRARY_${P_NAME} "lib${P_NAME}.so")
endfunction()

# An app of the build tree, for run_app: a package directory
# bin/plugins/packages/<name>/ with the program bin/<name> and an "app.ini" that
# names it, listed in the catalogue without a library.
#
#   ulx_add_suite_app(NAME <name> SOURCES <files...> [DESC <text>])
function(ulx_add_suite_app)
  cmake_parse_arguments(P "" "NAME;DESC" "SOURCES" ${ARGN})
  set(target suiteapp_${P_NAME})
  add_executable(${target} ${P_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${P_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${ULX_SUITE_PACKAGES_DIR}/${P_NAME}/bin)
  file(CONFIGURE OUTPUT ${ULX_SUITE_PACKAGES_DIR}/${P_NAME}/app.ini
       CONTENT "[runinfo]\nentry=bin/${P_NAME}\n")
  add_dependencies(ulx_suite_plugins ${target})
  if(NOT P_DESC)
    set(P_DESC ${P_NAME})
  endif()
  set_property(GLOBAL APPEND PROPERTY ULX_SUITE_PLUGIN_NAMES ${P_NAME})
  set_property(GLOBAL PROPERTY ULX_SUITE_PLUGIN_DESC_${P_NAME} "${P_DESC}")
  set_property(GLOBAL PROPERTY ULX_SUITE_PLUGIN_LIBRARY_${P_NAME} "")
endfunction()

# Written once every directory has declared its plugins; rewritten only when it changes.
function(ulx_write_suite_catalogue)
  get_property(names GLOBAL PROPERTY ULX_SUITE_PLUGIN_NAMES)
  set(entries "")
  foreach(name IN LISTS names)
    get_property(desc GLOBAL PROPERTY ULX_SUITE_PLUGIN_DESC_${name})
    get_property(library GLOBAL PROPERTY ULX_SUITE_PLUGIN_LIBRARY_${name})
    set(libraryField "")
    if(library)
      set(libraryField ", \"library\": \"${library}\"")
    endif()
    list(APPEND entries
      "    {\"name\": \"${name}\", \"version\": \"1.0.0.1\", \"desc\": \"${desc}\", \"package\": \"packages/${name}\"${libraryField}}")
  endforeach()
  list(JOIN entries ",\n" body)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/bin/plugins/catalogue.json
       CONTENT "{\"plugins\": [\n${body}\n]}\n" @ONLY)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL ulx_write_suite_catalogue)
