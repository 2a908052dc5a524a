# q52_windowed_program(TARGET): makes TARGET a Unicode windowed program whose entry is
#   int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
# On Windows that is MinGW's Unicode start-up in the GUI subsystem (-municode -mwindows): no console
# window. On this host winsim_winmain supplies main, which calls wWinMain with the module handle,
# no previous instance, the command line after the program name and SW_SHOWDEFAULT; the process's
# exit status is wWinMain's result.
function(q52_windowed_program target)
  if(WIN32)
    target_compile_options(${target} PRIVATE -municode)
    target_link_options(${target} PRIVATE -municode -mwindows)
  else()
    target_link_libraries(${target} PRIVATE winsim_winmain)
  endif()
endfunction()
