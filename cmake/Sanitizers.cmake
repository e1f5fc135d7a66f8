# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# AddressSanitizer and UndefinedBehaviorSanitizer for every target of the build.
if(RPM_BUILD_FUZZ)
  set(RPM_SANITIZE ON)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(RPM_SANITIZE)
  set(RPM_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  add_compile_options(${RPM_SANITIZER_FLAGS})
  add_link_options(${RPM_SANITIZER_FLAGS})
  # Their runtime needs what the tool's confinement refuses (LeakSanitizer traces at exit).
  add_compile_definitions(RPM_UNCONFINED)
endif()
