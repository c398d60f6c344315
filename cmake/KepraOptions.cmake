# Compiler settings shared by every target of the project.

add_library(kepra_warnings INTERFACE)
target_compile_options(kepra_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wundef -Werror)

if(KEPRA_SANITIZE)
  add_compile_options(-fsanitize=${KEPRA_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KEPRA_SANITIZE})
endif()

if(WIN32)
  # No runtime DLLs beside the system's: the C++ runtime and winpthreads go in statically.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
