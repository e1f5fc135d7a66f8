# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Compiler warnings for the project's own targets; RPM_WERROR turns them into errors (CI).
set(RPM_WARNINGS -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wcast-align
    -Wformat=2 -Wnon-virtual-dtor -Wold-style-cast)

# The tool runs under a stack of 64 KiB: no frame of its own may take more than a few KiB.
set(RPM_TOOL_WARNINGS -Wframe-larger-than=8192)

function(rpm_target_flags target)
  target_compile_options(${target} PRIVATE ${RPM_WARNINGS}
      # Log lines name sources relative to the checkout, wherever it was built.
      "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
  if(RPM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# How the tool and its end-to-end test build link: fully static, or with the C++ runtime linked
# in and the C library shared. The sanitizers need their shared runtime.
function(rpm_tool_link target)
  if(RPM_SANITIZE)
    return()
  elseif(RPM_STATIC)
    target_link_options(${target} PRIVATE -static)
  elseif(RPM_STATIC_RUNTIME)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
