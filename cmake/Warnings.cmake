# Warnings for our own targets; third-party headers are included as system headers. The builds of
# test.sh treat them as errors; MEROLUNE_WERROR=OFF only for a compiler the code was not written for.
option(MEROLUNE_WERROR "Treat warnings in our own targets as errors" ON)
function(merolune_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor -Wold-style-cast)
  if(MEROLUNE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
