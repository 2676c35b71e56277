# Compiler settings shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(WIN32)
  # Keep windows.h lean and free of the min/max macros.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
endif()
if(KELO_SANITIZE)
  add_compile_options(-fsanitize=${KELO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KELO_SANITIZE})
endif()
