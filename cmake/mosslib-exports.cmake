# The exported entry points of mosslib, by family. Each entry is name:bytes, bytes
# being what the callee removes from the stack under the 32-bit stdcall convention
# (every argument is one 4-byte pointer). A family's entry points are exported once
# its unit src/boundary/export_<family>.cpp exists; the frame is always there.
set(MOSSLIB_EXPORTS_frame     mosslib_last_error:0 mosslib_version:0
                              mosslib_set_priority_step:4 mosslib_priority_step:0
                              mosslib_catalog_version:0 mosslib_model_count:0 mosslib_model_at:4
                              mosslib_model_named:4 mosslib_param_index:8 mosslib_channel_velocities:16)
set(MOSSLIB_EXPORTS_lineshape sext:8 sextgen:8 sextgen_ss:8 sextgen_sl:8 doubl:8
                              VogGenVel_ss:8 CSTfdll:8)
set(MOSSLIB_EXPORTS_spinham   ttt:12 tkv:12)
set(MOSSLIB_EXPORTS_relax     parl:12)
set(MOSSLIB_MODEL_FAMILIES lineshape spinham relax)

# mosslib_present_families(<out-var>): the model families whose export unit exists.
function(mosslib_present_families out)
  set(present)
  foreach(family IN LISTS MOSSLIB_MODEL_FAMILIES)
    if(EXISTS ${PROJECT_SOURCE_DIR}/src/boundary/export_${family}.cpp)
      list(APPEND present ${family})
    endif()
  endforeach()
  set(${out} ${present} PARENT_SCOPE)
endfunction()

# mosslib_write_def(<path> <pointer-size>): module-definition file of the DLL listing
# the frame and the present families. A model function is exported under its plain
# name from its wrapper mosslib_win_<name> (src/boundary/windows_entries.cpp), the
# frame's functions directly. On 32-bit x86 the compiler names a stdcall function
# name@bytes; a wrong byte count makes the link fail instead of shipping a mismatched
# convention.
function(mosslib_write_def path pointer_size)
  mosslib_present_families(families)
  set(text "LIBRARY mosslib.dll\nEXPORTS\n")
  foreach(family frame ${families})
    foreach(entry IN LISTS MOSSLIB_EXPORTS_${family})
      string(REPLACE ":" ";" parts ${entry})
      list(GET parts 0 name)
      list(GET parts 1 bytes)
      set(target ${name})
      if(NOT family STREQUAL "frame")
        set(target mosslib_win_${name})
      endif()
      if(pointer_size EQUAL 4)
        string(APPEND text "    ${name} = ${target}@${bytes}\n")
      else()
        string(APPEND text "    ${name} = ${target}\n")
      endif()
    endforeach()
  endforeach()
  file(CONFIGURE OUTPUT ${path} CONTENT "${text}" @ONLY)
endfunction()
