# Sanitizer builds apply to every target of the tree.
if(MEROLUNE_SANITIZE AND MEROLUNE_TSAN)
  message(FATAL_ERROR "MEROLUNE_SANITIZE and MEROLUNE_TSAN cannot be combined")
endif()
if(MEROLUNE_SANITIZE)
  # GCC's flow analysis sees the sanitizers' checks as paths on which a variable may be unset and
  # warns inside the standard library (std::regex, std::function): the warning stays in the other builds.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
                      -Wno-maybe-uninitialized)
  add_link_options(-fsanitize=address,undefined)
endif()
if(MEROLUNE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
