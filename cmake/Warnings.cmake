# Compiler warnings for the project's own targets; RPM_WERROR turns them into errors (CI).
set(RPM_WARNINGS -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wcast-align
    -Wformat=2 -Wnon-virtual-dtor -Wold-style-cast)

function(rpm_target_flags target)
  target_compile_options(${target} PRIVATE ${RPM_WARNINGS}
      # Log lines name sources relative to the checkout, wherever it was built.
      "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
  if(RPM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
