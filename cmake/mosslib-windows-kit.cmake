# The host kit of the Windows DLL (target mosslib_kit): what a host author needs, in
# <build>/kit/mosslib-<version>-<win32|win64>/ and zipped next to it. ./run dll copies
# both to out/.
#   mosslib.dll     the library
#   mosslib.h       the declarations (stdcall on 32-bit through MOSSLIB_CALL)
#   mosslib.def     the exports as a host links them (32-bit: name@bytes)
#   mosslib.dll.a   import library for MinGW-w64 GCC and clang (GNU dlltool)
#   mosslib.lib     import library for MSVC's linker and lld-link (llvm-dlltool)
#   README.txt      loading it, calling it, the priority it lowers
#   models.md       every model's parameters and array layouts (ttt and parl included)
#   LICENSE.txt     the licence (MIT)
# The DLL in the kit is stripped of its debug sections.
include(${PROJECT_SOURCE_DIR}/cmake/mosslib-exports.cmake)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(MOSSLIB_KIT_ARCH win32)
  set(MOSSLIB_KIT_BITS 32)
  set(MOSSLIB_KIT_MSVC_MACHINE x86)
  set(kill_at --kill-at)
  set(llvm_machine i386)
  set(llvm_kill_at -k)
else()
  set(MOSSLIB_KIT_ARCH win64)
  set(MOSSLIB_KIT_BITS 64)
  set(MOSSLIB_KIT_MSVC_MACHINE x64)
  set(kill_at)
  set(llvm_machine i386:x86-64)
  set(llvm_kill_at)
endif()
file(GLOB llvm_bins LIST_DIRECTORIES true /usr/lib/llvm-*/bin)
find_program(MOSSLIB_LLVM_DLLTOOL NAMES llvm-dlltool HINTS ${llvm_bins} REQUIRED)
find_program(MOSSLIB_KIT_STRIP NAMES ${MOSSLIB_MINGW_TRIPLE}-strip strip REQUIRED)
set(kit_name mosslib-${PROJECT_VERSION}-${MOSSLIB_KIT_ARCH})
set(kit_root ${PROJECT_BINARY_DIR}/kit)
set(kit ${kit_root}/${kit_name})
set(kit_zip ${kit_root}/${kit_name}.zip)
set(kit_def ${PROJECT_BINARY_DIR}/kit-files/mosslib.def)
set(kit_readme ${PROJECT_BINARY_DIR}/kit-files/README.txt)
file(MAKE_DIRECTORY ${kit_root})
mosslib_write_host_def(${kit_def} ${CMAKE_SIZEOF_VOID_P})
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows-kit-README.txt ${kit_readme} @ONLY NEWLINE_STYLE CRLF)

add_custom_command(OUTPUT ${kit_zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${kit} ${kit_zip}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${kit}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:mosslib> ${PROJECT_SOURCE_DIR}/include/mosslib.h
          ${kit_def} ${kit_readme} ${kit}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/models.md ${kit}/models.md
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${kit}/LICENSE.txt
  COMMAND ${MOSSLIB_KIT_STRIP} --strip-unneeded ${kit}/mosslib.dll
  COMMAND ${CMAKE_DLLTOOL} --input-def ${kit_def} --dllname mosslib.dll ${kill_at}
          --output-lib ${kit}/mosslib.dll.a
  COMMAND ${MOSSLIB_LLVM_DLLTOOL} -m ${llvm_machine} -d ${kit_def} -D mosslib.dll ${llvm_kill_at}
          -l ${kit}/mosslib.lib
  COMMAND ${CMAKE_COMMAND} -E tar cf ${kit_zip} --format=zip ${kit_name}
  WORKING_DIRECTORY ${kit_root}
  DEPENDS mosslib ${PROJECT_SOURCE_DIR}/include/mosslib.h ${kit_def} ${kit_readme}
          ${PROJECT_SOURCE_DIR}/docs/models.md ${PROJECT_SOURCE_DIR}/LICENSE
  COMMENT "Windows host kit ${kit_name}"
  VERBATIM)
add_custom_target(mosslib_kit DEPENDS ${kit_zip})
