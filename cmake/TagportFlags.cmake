# Warnings, hardening and optional instrumentation shared by every target.

function(tagport_harden target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion
    -fstack-protector-strong)
  # _FORTIFY_SOURCE needs optimisation, and a toolchain may predefine it.
  target_compile_options(${target} PRIVATE
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
  target_link_options(${target} PRIVATE
    -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack
    -Wl,-z,max-page-size=16384)
endfunction()

if(TAGPORT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TAGPORT_COVERAGE)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()
