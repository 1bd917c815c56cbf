# Installed documents that Debian keeps compressed: the manual pages and the package's changelog.
# gzip -n leaves the file's name and time out, so that the same text gives the same bytes.
find_program(MEROLUNE_GZIP gzip REQUIRED)

# Installs `file` (a file of the build tree) compressed as <destination>/<its name>.gz; `target`
# names the step that compresses it.
function(merolune_install_gzipped target file destination)
  get_filename_component(name ${file} NAME)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/gzipped)
  add_custom_command(OUTPUT ${dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dir}/${name}
    COMMAND ${MEROLUNE_GZIP} -9nf ${dir}/${name}
    DEPENDS ${file} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${dir}/${name}.gz)
  install(FILES ${dir}/${name}.gz DESTINATION ${destination})
endfunction()

# A manual page written in roff as <name>.<section>.in, with @PROJECT_VERSION@ in its title line:
# filled in and installed compressed in share/man/man<section>.
function(merolune_man_page source)
  get_filename_component(page ${source} NAME_WLE)
  string(REGEX MATCH "[0-9]$" section ${page})
  configure_file(${source} ${CMAKE_CURRENT_BINARY_DIR}/${page} @ONLY)
  merolune_install_gzipped(man_${page} ${CMAKE_CURRENT_BINARY_DIR}/${page} share/man/man${section})
endfunction()
