# zindle.def for MSVC from the linker's list of the DLL's exports, with the
# DLL's name on its first line, so `lib /def:zindle.def` needs no /name.
#   cmake -DEXPORTS=linker.def -DDEF=zindle.def -DDLL=zindle.dll -P def-file.cmake
file(READ "${EXPORTS}" exports)
file(WRITE "${DEF}" "LIBRARY ${DLL}\n${exports}")
