# The planted-DLL test's pieces: a DLL that marks its own loading, and a control updater built from
# the same sources without the DLL rule (ordinary imports, no search restriction at start-up).
add_library(planted_dll SHARED tests/helpers/planted_dll.c)
set_target_properties(planted_dll PROPERTIES PREFIX "" OUTPUT_NAME planted)

add_executable(quillor_updater_without_dll_rule WIN32 app/main_win.cpp resources/updater.rc
    tests/app/no_dll_rule_win.cpp)
set_target_properties(quillor_updater_without_dll_rule PROPERTIES OUTPUT_NAME "Quillor - Updater without DLL rule")
target_link_options(quillor_updater_without_dll_rule PRIVATE -municode -s)
target_link_libraries(quillor_updater_without_dll_rule PRIVATE quillor_core)
