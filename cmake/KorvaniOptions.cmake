# Sanitizers apply to everything built in this tree, so that the tests, the sandbox and
# the library share one runtime.
if(KORVANI_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KORVANI_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KORVANI_SANITIZE STREQUAL "none")
  message(FATAL_ERROR "KORVANI_SANITIZE must be none, address or thread")
endif()

function(korvani_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Woverloaded-virtual)
  if(KORVANI_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
