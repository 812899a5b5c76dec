# Warnings are errors everywhere in this tree; sanitizers are switched on for every target
# (library, tests, benchmarks, examples) so that instrumented and plain code never mix.

add_library(infra_warnings INTERFACE)
if(MSVC)
    target_compile_options(infra_warnings INTERFACE /W4 /WX)
else()
    target_compile_options(infra_warnings INTERFACE -Wall -Wextra -Werror)
endif()

if(INFRA_SANITIZE)
    string(REPLACE ";" "," _infra_san "${INFRA_SANITIZE}")
    add_compile_options(-fsanitize=${_infra_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_infra_san})
endif()
