# The exported entry points of mosslib. Each entry is name:bytes, bytes being what the
# callee removes from the stack under the 32-bit stdcall convention (every argument is
# one 4-byte pointer).
set(MOSSLIB_EXPORTS
  mosslib_last_error:0 mosslib_version:0 mosslib_set_priority_step:4 mosslib_priority_step:0
  mosslib_catalog_version:0 mosslib_model_count:0 mosslib_model_at:4 mosslib_model_named:4
  mosslib_param_index:8 mosslib_channel_velocities:16
  mosslib_set_threads:4 mosslib_threads:0 mosslib_set_progress:8
  sext:8 sextgen:8 sextgen_ss:8 sextgen_sl:8 doubl:8 VogGenVel_ss:8 CSTfdll:8
  ttt:12 tkv:12
  parl:12
  mosslib_thick_lines:20 mosslib_thick_sampled:20)

# The model families of the exports above (tests/windows builds its hosts for them).
set(MOSSLIB_MODEL_FAMILIES lineshape spinham relax)

# mosslib_write_def(<path> <pointer-size>): module-definition file of the DLL listing
# MOSSLIB_EXPORTS under their plain names. On 32-bit x86 the compiler names a stdcall
# function name@bytes; a wrong byte count makes the link fail instead of shipping a
# mismatched convention.
function(mosslib_write_def path pointer_size)
  set(text "LIBRARY mosslib.dll\nEXPORTS\n")
  foreach(entry IN LISTS MOSSLIB_EXPORTS)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    list(GET parts 1 bytes)
    if(pointer_size EQUAL 4)
      string(APPEND text "    ${name} = ${name}@${bytes}\n")
    else()
      string(APPEND text "    ${name} = ${name}\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${path} CONTENT "${text}" @ONLY)
endfunction()

# mosslib_write_host_def(<path> <pointer-size>): the exports as a host links against
# them, for the host kit and its import library. On 32-bit x86 each is name@bytes, the
# symbol a stdcall caller references; the import library made from it with dlltool
# --kill-at binds that symbol to the plain exported name.
function(mosslib_write_host_def path pointer_size)
  set(text "; mosslib.dll exports (${pointer_size}-byte pointers)\nLIBRARY mosslib.dll\nEXPORTS\n")
  foreach(entry IN LISTS MOSSLIB_EXPORTS)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    list(GET parts 1 bytes)
    if(pointer_size EQUAL 4)
      string(APPEND text "    ${name}@${bytes}\n")
    else()
      string(APPEND text "    ${name}\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${path} CONTENT "${text}" @ONLY)
endfunction()
