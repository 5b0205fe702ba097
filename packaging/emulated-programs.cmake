# Under qemu-user without binfmt_misc a test cannot exec one of the target's
# programs: the kernel refuses the foreign ELF. Each program gets a host-side
# wrapper that starts it through the emulator, and the tests' compile-time
# program paths are pointed at the wrappers. Nothing changes in a native build.
if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()

set(M520S_WRAPPER_DIR ${CMAKE_BINARY_DIR}/qemu-wrappers)
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator_command)
set(wrapped_programs "")
foreach(program m520s-sim m520s-monitor)
  if(TARGET ${program})
    file(WRITE ${CMAKE_BINARY_DIR}/CMakeFiles/qemu-wrappers/${program}
      "#!/bin/sh\nexec ${emulator_command} '${CMAKE_BINARY_DIR}/${program}' \"$@\"\n")
    file(COPY ${CMAKE_BINARY_DIR}/CMakeFiles/qemu-wrappers/${program} DESTINATION ${M520S_WRAPPER_DIR}
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND wrapped_programs ${program})
  endif()
endforeach()

foreach(test_target sim_tests monitor_tests mqtt_tests)
  if(NOT TARGET ${test_target})
    continue()
  endif()
  get_target_property(definitions ${test_target} COMPILE_DEFINITIONS)
  if(NOT definitions)
    continue()
  endif()
  set(rewritten "")
  foreach(definition IN LISTS definitions)
    foreach(program IN LISTS wrapped_programs)
      # Either spelling of the program's place in the build tree.
      string(REPLACE "\"$<TARGET_FILE:${program}>\"" "\"${M520S_WRAPPER_DIR}/${program}\"" definition "${definition}")
      string(REPLACE "\"${CMAKE_BINARY_DIR}/${program}\"" "\"${M520S_WRAPPER_DIR}/${program}\"" definition "${definition}")
    endforeach()
    list(APPEND rewritten "${definition}")
  endforeach()
  set_property(TARGET ${test_target} PROPERTY COMPILE_DEFINITIONS "${rewritten}")
endforeach()
